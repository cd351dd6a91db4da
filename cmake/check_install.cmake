# Installs the build tree into a scratch prefix, then configures, builds and
# runs a small consumer that finds the package and links gainscan::decoder.
file(REMOVE_RECURSE ${SCRATCH})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}\n${out}")
  endif()
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${SCRATCH}/prefix)
foreach(path bin/gainscan bin/gainscan-batch share/man/man1/gainscan.1 share/man/man1/gainscan-batch.1)
  if(NOT EXISTS ${SCRATCH}/prefix/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${SCRATCH}/build -DCMAKE_PREFIX_PATH=${SCRATCH}/prefix
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${SCRATCH}/build)
run(${SCRATCH}/build/consumer)
