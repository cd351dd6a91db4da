# Installs the build tree into a scratch prefix, then builds the README's
# library example against it with CMake (shared and static) and with
# pkg-config, and runs each on a sample file.
file(REMOVE_RECURSE ${SCRATCH})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()
set(prefix ${SCRATCH}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path bin/gainscan bin/gainscan-batch share/man/man1/gainscan.1 share/man/man1/gainscan-batch.1
             include/gainscan/decoder.h include/gainscan/analysis.h
             ${LIBDIR}/libgainscan_decoder.a ${LIBDIR}/libgainscan_analysis.a
             ${LIBDIR}/libgainscan_decoder.so ${LIBDIR}/libgainscan_analysis.so
             ${LIBDIR}/pkgconfig/gainscan.pc ${LIBDIR}/cmake/gainscan/gainscanConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# Nothing of the decoder's stage interface is installed.
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
if(NOT headers STREQUAL "gainscan/analysis.h;gainscan/decoder.h")
  message(FATAL_ERROR "installed headers: ${headers}")
endif()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${SCRATCH}/build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}"
    "-DCMAKE_BUILD_RPATH=${prefix}/${LIBDIR}")
run(${CMAKE_COMMAND} --build ${SCRATCH}/build)
foreach(program consumer consumer_static)
  run(${SCRATCH}/build/${program} ${SAMPLE})
  if(NOT run_output MATCHES "capacity 18, [0-9]+ granule records, p_value [0-9.e-]+, not flagged")
    message(FATAL_ERROR "${program}: ${run_output}")
  endif()
endforeach()

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs gainscan OUTPUT_VARIABLE flags RESULT_VARIABLE result
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "pkg-config does not find gainscan")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
  run(${CXX} ${CONSUMER_DIR}/main.cpp ${flags} ${link_flags} -Wl,-rpath,${prefix}/${LIBDIR}
      -o ${SCRATCH}/consumer_pkgconfig)
  run(${SCRATCH}/consumer_pkgconfig ${SAMPLE})
  if(NOT run_output MATCHES "capacity 18, ")
    message(FATAL_ERROR "pkg-config build: ${run_output}")
  endif()
else()
  message(FATAL_ERROR "pkg-config is not installed (tools/run_tests.sh installs it)")
endif()
