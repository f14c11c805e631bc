# Instrument every library for libFuzzer and AddressSanitizer. Configure a
# separate build folder with clang for this; README.md ("Tests, benchmarks,
# fuzzing") gives the two commands.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "KESTRO_FUZZ needs clang (CXX=clang++)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
