# Helpers shared by tests/, fuzz/ and bench/.

# One GoogleTest executable per module. Tests are listed when CTest runs
# (PRE_TEST), so a build never needs a display or a broker.
function(kestro_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    KESTRO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KESTRO_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# A fuzz target is one LLVMFuzzerTestOneInput. With KESTRO_FUZZ it becomes a
# libFuzzer binary; otherwise it is linked with a small runner that replays
# the seed corpus, so every normal test run keeps the seeds passing.
function(kestro_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(KESTRO_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  else()
    add_executable(${name}_corpus ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/corpus_runner.cpp)
    target_link_libraries(${name}_corpus PRIVATE ${ARG_LIBS})
    if(ARG_CORPUS)
      add_test(NAME ${name}.corpus COMMAND ${name}_corpus ${ARG_CORPUS})
      set_tests_properties(${name}.corpus PROPERTIES TIMEOUT 120)
    endif()
  endif()
endfunction()
