# ONNX Runtime for the pose estimator.
#
# The library: by default the CPU build inside the npm package
# onnxruntime-node, which scripts/setup unpacks into .deps/. Users with an
# official distribution (for example a GPU build) point
# KESTRO_ONNXRUNTIME_ROOT at it (its include/ and lib/).
#
# The header: the npm package ships none, so vision/onnx_runtime_api.h
# declares what we call. When an official onnxruntime_c_api.h of API version
# 23 or newer is found, it is used instead (KESTRO_HAVE_ONNXRUNTIME_HEADER).
#
# Gives:
#   kestro::onnxruntime             imported target to link
#   kestro_deploy_onnxruntime(<t>)  copies the library and its license text
#                                   next to executable <t>, rpath $ORIGIN
include_guard(GLOBAL)

set(KESTRO_ONNXRUNTIME_NPM_VERSION "1.31.1" CACHE STRING
  "Version of the npm package onnxruntime-node that scripts/setup fetches")
set(KESTRO_ONNXRUNTIME_ROOT "" CACHE PATH
  "An official ONNX Runtime distribution to use instead of the npm library")

set(_kestro_ort_npm_library
  "${KESTRO_DEPS_DIR}/onnxruntime-node-${KESTRO_ONNXRUNTIME_NPM_VERSION}/package/bin/napi-v6/linux/x64/libonnxruntime.so.1")

# The official header, if any (system include folders or the given root).
find_path(KESTRO_ONNXRUNTIME_INCLUDE_DIR onnxruntime_c_api.h
  HINTS "${KESTRO_ONNXRUNTIME_ROOT}/include"
  PATH_SUFFIXES onnxruntime onnxruntime/core/session)
set(_kestro_ort_header_usable OFF)
if(KESTRO_ONNXRUNTIME_INCLUDE_DIR)
  file(STRINGS "${KESTRO_ONNXRUNTIME_INCLUDE_DIR}/onnxruntime_c_api.h" _kestro_ort_version_line
    REGEX "^#define ORT_API_VERSION [0-9]+")
  string(REGEX MATCH "[0-9]+" _kestro_ort_api_version "${_kestro_ort_version_line}")
  if(_kestro_ort_api_version AND _kestro_ort_api_version GREATER_EQUAL 23)
    set(_kestro_ort_header_usable ON)
  else()
    message(STATUS "ONNX Runtime: ignoring ${KESTRO_ONNXRUNTIME_INCLUDE_DIR}/onnxruntime_c_api.h "
      "(API version '${_kestro_ort_api_version}', need 23 or newer)")
  endif()
endif()

set(_kestro_ort_library "")
if(KESTRO_ONNXRUNTIME_ROOT)
  find_library(KESTRO_ONNXRUNTIME_LIBRARY NAMES onnxruntime libonnxruntime.so.1
    HINTS "${KESTRO_ONNXRUNTIME_ROOT}/lib" NO_DEFAULT_PATH)
  if(NOT KESTRO_ONNXRUNTIME_LIBRARY)
    message(FATAL_ERROR "ONNX Runtime: no library in ${KESTRO_ONNXRUNTIME_ROOT}/lib")
  endif()
  set(_kestro_ort_library "${KESTRO_ONNXRUNTIME_LIBRARY}")
elseif(EXISTS "${_kestro_ort_npm_library}")
  set(_kestro_ort_library "${_kestro_ort_npm_library}")
else()
  message(FATAL_ERROR "ONNX Runtime: ${_kestro_ort_npm_library} is missing; run scripts/setup")
endif()

# The library's real file (the deployed copy carries its soname).
get_filename_component(_kestro_ort_real "${_kestro_ort_library}" REALPATH)
set(KESTRO_ONNXRUNTIME_LIBRARY_FILE "${_kestro_ort_real}" CACHE INTERNAL "")
set(KESTRO_ONNXRUNTIME_LICENSE_FILE "${CMAKE_CURRENT_LIST_DIR}/onnxruntime/LICENSE" CACHE INTERNAL "")
if(KESTRO_ONNXRUNTIME_ROOT AND EXISTS "${KESTRO_ONNXRUNTIME_ROOT}/LICENSE")
  set(KESTRO_ONNXRUNTIME_LICENSE_FILE "${KESTRO_ONNXRUNTIME_ROOT}/LICENSE" CACHE INTERNAL "")
endif()

if(NOT TARGET kestro::onnxruntime)
  add_library(kestro::onnxruntime SHARED IMPORTED GLOBAL)
  set_target_properties(kestro::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${_kestro_ort_real}"
    IMPORTED_SONAME "libonnxruntime.so.1")
  if(_kestro_ort_header_usable)
    set_target_properties(kestro::onnxruntime PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${KESTRO_ONNXRUNTIME_INCLUDE_DIR}"
      INTERFACE_COMPILE_DEFINITIONS KESTRO_HAVE_ONNXRUNTIME_HEADER)
  endif()
endif()
if(_kestro_ort_header_usable)
  message(STATUS "ONNX Runtime: ${_kestro_ort_real} with the header in ${KESTRO_ONNXRUNTIME_INCLUDE_DIR}")
else()
  message(STATUS "ONNX Runtime: ${_kestro_ort_real} with our own declarations")
endif()

# Copies the runtime and its license text next to <target>'s executable and
# makes the executable look for its libraries in its own folder first.
function(kestro_deploy_onnxruntime target)
  get_target_property(dir ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT dir)
    set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  # One copy rule per folder, shared by every executable in it, so that
  # parallel links never write the same file at once.
  string(MD5 key "${dir}")
  set(deploy kestro_deploy_onnxruntime_${key})
  if(NOT TARGET ${deploy})
    add_custom_command(
      OUTPUT "${dir}/libonnxruntime.so.1" "${dir}/LICENSE-onnxruntime.txt"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${KESTRO_ONNXRUNTIME_LIBRARY_FILE}"
              "${dir}/libonnxruntime.so.1"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${KESTRO_ONNXRUNTIME_LICENSE_FILE}"
              "${dir}/LICENSE-onnxruntime.txt"
      DEPENDS "${KESTRO_ONNXRUNTIME_LIBRARY_FILE}" "${KESTRO_ONNXRUNTIME_LICENSE_FILE}"
      COMMENT "Copying ONNX Runtime next to the executables in ${dir}"
      VERBATIM)
    add_custom_target(${deploy} DEPENDS "${dir}/libonnxruntime.so.1" "${dir}/LICENSE-onnxruntime.txt")
  endif()
  add_dependencies(${target} ${deploy})
  set_property(TARGET ${target} APPEND PROPERTY BUILD_RPATH "$ORIGIN")
  set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH "$ORIGIN")
endfunction()
