# gainscan's reports on the encoder fixtures against an independent Python
# model, plus embed_lsb-made positive cases. Needs python3, not lame.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND TARGET embed_lsb)
  add_test(NAME fixture_reports
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/fixture_reports_test.py
                   --gainscan $<TARGET_FILE:gainscan>
                   --embed $<TARGET_FILE:embed_lsb>
                   --fixtures ${PROJECT_SOURCE_DIR}/tests/fixtures)
  set_tests_properties(fixture_reports PROPERTIES TIMEOUT 120)
endif()
