# The committed layer3_tables.cpp must be what the generator makes from the
# text tables today.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME generated_layer3_tables_up_to_date
           COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/gen_layer3_tables.py --check
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
else()
  add_test(NAME generated_layer3_tables_up_to_date
           COMMAND python3 ${PROJECT_SOURCE_DIR}/tools/gen_layer3_tables.py --check
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
endif()
