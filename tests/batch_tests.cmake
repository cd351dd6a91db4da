# gainscan-batch's tests: they run both programs and read their output back.
foreach(name batch_program_test)
  if(TARGET ${name})
    target_link_libraries(${name} PRIVATE gainscan_batch_core)
    target_compile_definitions(${name} PRIVATE GAINSCAN_BATCH_BINARY="$<TARGET_FILE:gainscan-batch>")
    add_dependencies(${name} gainscan-batch gainscan)
  endif()
endforeach()
