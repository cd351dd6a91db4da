# cmake --install: both programs, their man pages, the decoder library with
# its public headers, and a package config so that another CMake project can
# find_package(gainscan) and link gainscan::decoder.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(GAINSCAN_INCLUDE_SUBDIR gainscan)
add_library(gainscan::decoder ALIAS gainscan_decoder)
set_target_properties(gainscan_decoder PROPERTIES EXPORT_NAME decoder)
# Consumers write #include "decoder/decoder.h", in the tree and installed.
set_property(TARGET gainscan_decoder PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>"
  "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${GAINSCAN_INCLUDE_SUBDIR}>")

install(TARGETS gainscan gainscan-batch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/gainscan.1 man/gainscan-batch.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(TARGETS gainscan_decoder EXPORT gainscanTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(header decoder.h common/frame_header.h common/messages.h layer3/side_info.h)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES decoder/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${GAINSCAN_INCLUDE_SUBDIR}/decoder/${subdir})
endforeach()

set(GAINSCAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gainscan)
install(EXPORT gainscanTargets NAMESPACE gainscan:: DESTINATION ${GAINSCAN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/gainscanConfig.cmake.in
  ${PROJECT_BINARY_DIR}/gainscanConfig.cmake INSTALL_DESTINATION ${GAINSCAN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/gainscanConfigVersion.cmake
  VERSION ${GAINSCAN_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/gainscanConfig.cmake ${PROJECT_BINARY_DIR}/gainscanConfigVersion.cmake
  DESTINATION ${GAINSCAN_CMAKE_DIR})

# A test: install into a scratch prefix and build a small consumer against it.
if(GAINSCAN_TESTS)
  add_test(NAME install_consumer
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/batch/consumer
      -DSCRATCH=${PROJECT_BINARY_DIR}/install_consumer
      -DCXX=${CMAKE_CXX_COMPILER}
      "-DLINK_FLAGS=$<$<BOOL:${GAINSCAN_SANITIZE}>:-fsanitize=address,undefined>"
      -P ${PROJECT_SOURCE_DIR}/cmake/check_install.cmake)
endif()
