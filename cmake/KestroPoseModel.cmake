# The pose network embedded as ":/models/yolov8n-pose.onnx".
#
# By default the build converts the person detector and the full landmark
# model of the npm package @mediapipe/pose (fetched by scripts/setup) into
# one ONNX graph with the estimator's input and output
# (tools/pose-model/convert_pose_model.py). KESTRO_POSE_MODEL=/path/to.onnx
# embeds that file instead (for example the official YOLOv8n-pose export).
#
# Gives:
#   target kestro_pose_model          builds ${KESTRO_POSE_MODEL_FILE}
#   KESTRO_POSE_MODEL_FILE            the model in the build tree (cache)
#   "vision/pose_model_info.h"        names what was embedded (include dir
#                                     KESTRO_POSE_MODEL_INFO_DIR)
#   kestro_embed_pose_model(<target>) adds the model to <target>'s resources
include_guard(GLOBAL)

set(KESTRO_MEDIAPIPE_POSE_VERSION "0.5.1675469404" CACHE STRING
  "Version of the npm package @mediapipe/pose that scripts/setup fetches")
set(KESTRO_PYTHON "/usr/bin/python3" CACHE FILEPATH
  "Python with NumPy and onnx (Debian's python3-numpy and python3-onnx)")

set(_kestro_pose_tools "${PROJECT_SOURCE_DIR}/tools/pose-model")
set(_kestro_pose_package
  "${KESTRO_DEPS_DIR}/mediapipe-pose-${KESTRO_MEDIAPIPE_POSE_VERSION}/package")
set(KESTRO_POSE_MODEL_FILE "${PROJECT_BINARY_DIR}/models/yolov8n-pose.onnx" CACHE INTERNAL "")
set(KESTRO_POSE_MODEL_INFO_DIR "${PROJECT_BINARY_DIR}/generated" CACHE INTERNAL "")
set(KESTRO_MEDIAPIPE_POSE_PACKAGE "${_kestro_pose_package}" CACHE INTERNAL "")

if(KESTRO_POSE_MODEL)
  if(NOT EXISTS "${KESTRO_POSE_MODEL}")
    message(FATAL_ERROR "KESTRO_POSE_MODEL: ${KESTRO_POSE_MODEL} does not exist")
  endif()
  add_custom_command(
    OUTPUT "${KESTRO_POSE_MODEL_FILE}"
    COMMAND ${CMAKE_COMMAND} -E copy "${KESTRO_POSE_MODEL}" "${KESTRO_POSE_MODEL_FILE}"
    DEPENDS "${KESTRO_POSE_MODEL}"
    COMMENT "Embedding the pose model ${KESTRO_POSE_MODEL}"
    VERBATIM)
  set(KESTRO_POSE_MODEL_LABEL "Model: Embedded YOLOv8n-pose (640x640 ONNX)")
  set(KESTRO_POSE_MODEL_NAME "YOLOv8")
  set(KESTRO_POSE_MODEL_CONVERTED false)
  set(KESTRO_POSE_MODEL_SOURCE "${KESTRO_POSE_MODEL}")
else()
  set(_kestro_pose_inputs
    "${_kestro_pose_package}/pose_solution_packed_assets.data"
    "${_kestro_pose_package}/pose_landmark_full.tflite")
  foreach(input IN LISTS _kestro_pose_inputs)
    if(NOT EXISTS "${input}")
      message(FATAL_ERROR "Pose model: ${input} is missing; run scripts/setup")
    endif()
  endforeach()
  file(GLOB _kestro_pose_scripts CONFIGURE_DEPENDS "${_kestro_pose_tools}/*.py")
  list(FILTER _kestro_pose_scripts EXCLUDE REGEX "/test_[^/]*\\.py$")
  add_custom_command(
    OUTPUT "${KESTRO_POSE_MODEL_FILE}"
    COMMAND ${CMAKE_COMMAND} -E env PYTHONDONTWRITEBYTECODE=1
            "${KESTRO_PYTHON}" "${_kestro_pose_tools}/convert_pose_model.py"
            --package "${_kestro_pose_package}" --output "${KESTRO_POSE_MODEL_FILE}"
    DEPENDS ${_kestro_pose_inputs} ${_kestro_pose_scripts}
    COMMENT "Converting the pose detector and landmark model into one ONNX network"
    VERBATIM)
  set(KESTRO_POSE_MODEL_LABEL
    "Model: Embedded MediaPipe Pose detector + full landmarks (640x640 ONNX)")
  set(KESTRO_POSE_MODEL_NAME "MediaPipe Pose")
  set(KESTRO_POSE_MODEL_CONVERTED true)
  set(KESTRO_POSE_MODEL_SOURCE "@mediapipe/pose ${KESTRO_MEDIAPIPE_POSE_VERSION} (Apache-2.0)")
endif()
add_custom_target(kestro_pose_model DEPENDS "${KESTRO_POSE_MODEL_FILE}")

configure_file("${CMAKE_CURRENT_LIST_DIR}/pose_model_info.h.in"
  "${KESTRO_POSE_MODEL_INFO_DIR}/vision/pose_model_info.h" @ONLY)

# Adds the model to <target>'s resources at ":/models/yolov8n-pose.onnx".
# The 25 MB never pass through the compiler: rcc's first pass writes the
# resource code around an empty array of the right size, that small file is
# compiled, and rcc's second pass copies the model into the compiled object.
# (Compiling the model as a generated C++ array took over ten minutes.)
# Consumers link the object itself, so its static initializer registers the
# resource without a Q_INIT_RESOURCE call.
function(kestro_embed_pose_model target)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/pose_model_resource")
  set(qrc "${dir}/pose_model.qrc")
  set(pass1 "${dir}/pose_model_pass1.cpp")
  set(object "${dir}/pose_model${CMAKE_CXX_OUTPUT_EXTENSION}")
  file(GENERATE OUTPUT "${qrc}" CONTENT
"<RCC>
  <qresource prefix=\"/models\">
    <file alias=\"yolov8n-pose.onnx\">${KESTRO_POSE_MODEL_FILE}</file>
  </qresource>
</RCC>
")
  # The network's weights barely compress; trying costs rcc 20 s per build.
  set(rcc_options --no-compress --name pose_model)
  add_custom_command(
    OUTPUT "${pass1}"
    COMMAND Qt6::rcc ${rcc_options} --pass 1 --output "${pass1}" "${qrc}"
    DEPENDS "${qrc}" "${KESTRO_POSE_MODEL_FILE}" Qt6::rcc
    COMMENT "Resource code for the pose model"
    VERBATIM)
  add_library(kestro_pose_model_pass1 OBJECT "${pass1}")
  set_target_properties(kestro_pose_model_pass1 PROPERTIES AUTOMOC OFF AUTORCC OFF)
  target_link_libraries(kestro_pose_model_pass1 PRIVATE Qt6::Core)
  add_custom_command(
    OUTPUT "${object}"
    COMMAND Qt6::rcc ${rcc_options} --pass 2
            --temp "$<TARGET_OBJECTS:kestro_pose_model_pass1>" --output "${object}" "${qrc}"
    DEPENDS kestro_pose_model_pass1 "$<TARGET_OBJECTS:kestro_pose_model_pass1>"
            "${KESTRO_POSE_MODEL_FILE}" Qt6::rcc
    COMMENT "Copying the pose model into its resource object"
    VERBATIM)
  add_custom_target(kestro_pose_model_resource DEPENDS "${object}")
  add_dependencies(${target} kestro_pose_model_resource)
  target_link_libraries(${target} INTERFACE "${object}")
endfunction()
