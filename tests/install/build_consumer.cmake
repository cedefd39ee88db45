# Installs the build tree BUILD_DIR into a fresh prefix under WORK_DIR, then
# configures, builds and runs the consumer project against it.
file(REMOVE_RECURSE "${WORK_DIR}")
function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()
run_step(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run_step(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build"
         "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix" -DCMAKE_BUILD_TYPE=Release)
run_step(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run_step("${WORK_DIR}/build/consumer")
