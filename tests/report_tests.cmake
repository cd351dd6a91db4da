# The HTML report's tests: GoogleTest suites for the reader and the renderer
# (tests/report_*_tests.cpp; named so that tests/CMakeLists.txt's *_test.cpp
# suites, which link the analyser, do not pick them up) and the browser test,
# which opens reports in headless Chromium and checks them through the DOM.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_package(GTest)
if(GTest_FOUND)
  include(GoogleTest)
  file(GLOB report_test_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/report_*_tests.cpp)
  add_executable(report_tests ${report_test_sources})
  target_link_libraries(report_tests PRIVATE gainscan_report GTest::gtest_main)
  target_compile_options(report_tests PRIVATE ${GAINSCAN_WARNINGS})
  target_compile_definitions(report_tests PRIVATE
    GAINSCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    GAINSCAN_REPORT_DATA="${PROJECT_SOURCE_DIR}/tests/report"
    GAINSCAN_REPORT_BINARY="$<TARGET_FILE:gainscan-report>")
  add_dependencies(report_tests gainscan-report)
  gtest_discover_tests(report_tests TEST_PREFIX report. DISCOVERY_TIMEOUT 60)
else()
  message(WARNING "GoogleTest not found: the report's unit tests are not built")
endif()

# Skipped (exit 77) only when no Chromium is installed; CI installs Debian's chromium.
# With gainscan-batch built, it also checks the report of a real scan of the fixtures.
set(report_batch_arguments)
if(TARGET gainscan-batch)
  set(report_batch_arguments --batch-binary $<TARGET_FILE:gainscan-batch> --fixtures ${PROJECT_SOURCE_DIR}/tests/fixtures)
endif()
add_test(NAME report.browser
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/report_browser_test.py
          --report-binary $<TARGET_FILE:gainscan-report>
          --data ${PROJECT_SOURCE_DIR}/tests/report
          --scratch ${PROJECT_BINARY_DIR}/report_browser
          ${report_batch_arguments})
set_tests_properties(report.browser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
