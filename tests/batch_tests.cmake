# gainscan-batch's tests (tests/batch_*_test.cpp): they run both programs and
# read their output back.
foreach(source ${GAINSCAN_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  if(name MATCHES "^(batch_|evidence_)" AND TARGET ${name})
    target_link_libraries(${name} PRIVATE gainscan_batch_core)
    target_compile_definitions(${name} PRIVATE GAINSCAN_BATCH_BINARY="$<TARGET_FILE:gainscan-batch>")
    add_dependencies(${name} gainscan-batch gainscan)
    if(TARGET embed_lsb)
      target_compile_definitions(${name} PRIVATE EMBED_LSB_BINARY="$<TARGET_FILE:embed_lsb>")
      add_dependencies(${name} embed_lsb)
    endif()
  endif()
endforeach()
