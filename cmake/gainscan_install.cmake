# cmake --install: both programs and their man pages; the decoder and
# analysis libraries, static and shared, with their headers under
# include/gainscan/; a versioned CMake package (find_package(gainscan) gives
# gainscan::decoder and gainscan::analysis, the shared libraries, and
# gainscan::decoder_static and gainscan::analysis_static); and gainscan.pc
# for pkg-config.
include(CMakePackageConfigHelpers)

foreach(lib decoder analysis)
  add_library(gainscan::${lib} ALIAS gainscan_${lib}_shared)
  add_library(gainscan::${lib}_static ALIAS gainscan_${lib})
  set_target_properties(gainscan_${lib}_shared PROPERTIES EXPORT_NAME ${lib})
  set_target_properties(gainscan_${lib} PROPERTIES EXPORT_NAME ${lib}_static)
endforeach()

install(TARGETS gainscan gainscan-batch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/gainscan.1 man/gainscan-batch.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(TARGETS gainscan_decoder gainscan_decoder_shared gainscan_analysis gainscan_analysis_shared
  EXPORT gainscanTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES decoder/include/gainscan/decoder.h analysis/include/gainscan/analysis.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gainscan)

set(GAINSCAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gainscan)
install(EXPORT gainscanTargets NAMESPACE gainscan:: DESTINATION ${GAINSCAN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/gainscanConfig.cmake.in
  ${PROJECT_BINARY_DIR}/gainscanConfig.cmake INSTALL_DESTINATION ${GAINSCAN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/gainscanConfigVersion.cmake
  VERSION ${GAINSCAN_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/gainscanConfig.cmake ${PROJECT_BINARY_DIR}/gainscanConfigVersion.cmake
  DESTINATION ${GAINSCAN_CMAKE_DIR})

# pkg-config: the prefix is taken from the .pc file's own place, so the
# installed tree can be moved.
file(RELATIVE_PATH GAINSCAN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/gainscan.pc.in ${PROJECT_BINARY_DIR}/gainscan.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/gainscan.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# A test: install into a scratch prefix and build the README's example
# against it, once with CMake and once with pkg-config.
if(GAINSCAN_TESTS)
  add_test(NAME install_consumer
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/consumer
      -DSCRATCH=${PROJECT_BINARY_DIR}/install_consumer
      -DCXX=${CMAKE_CXX_COMPILER}
      -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
      -DSAMPLE=${PROJECT_SOURCE_DIR}/tests/fixtures/m1_44100_stereo_cbr64_2s.mp3
      "-DLINK_FLAGS=$<$<BOOL:${GAINSCAN_SANITIZE}>:-fsanitize=address,undefined>"
      -P ${PROJECT_SOURCE_DIR}/cmake/check_install.cmake)
endif()
