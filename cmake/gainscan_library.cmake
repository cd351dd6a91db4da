# gainscan_library(NAME SOURCES...): the library NAME twice from one set of
# objects, static (NAME, what our programs link) and shared (NAME_shared,
# same file name), both with the tree's include paths and our warnings.
function(gainscan_library name)
  add_library(${name}_objects OBJECT ${ARGN})
  set_target_properties(${name}_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${name}_objects PRIVATE ${GAINSCAN_WARNINGS})
  set(includes "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>"
               "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>"
               "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  target_include_directories(${name}_objects PUBLIC ${includes})
  add_library(${name} STATIC $<TARGET_OBJECTS:${name}_objects>)
  add_library(${name}_shared SHARED $<TARGET_OBJECTS:${name}_objects>)
  set_target_properties(${name}_shared PROPERTIES OUTPUT_NAME ${name}
    VERSION ${GAINSCAN_VERSION} SOVERSION ${GAINSCAN_SOVERSION} INSTALL_RPATH "$ORIGIN")
  target_include_directories(${name} PUBLIC ${includes})
  target_include_directories(${name}_shared PUBLIC ${includes})
endfunction()
