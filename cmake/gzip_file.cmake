# gzip_file.cmake: kvs_gzip_file(<input> <output>) writes <output> as
# gzip -9n makes it (best compression, no name or time stamp inside, so the
# same input always gives the same bytes), as Debian wants its manual pages
# and changelogs. The input is a configure dependency: editing it remakes
# the output at the next build. KVS_GZIP is empty where gzip is missing.
find_program(KVS_GZIP gzip)
mark_as_advanced(KVS_GZIP)

function(kvs_gzip_file input output)
  get_filename_component(name ${output} NAME)
  string(REGEX REPLACE "\\.gz$" "" name ${name})
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/gzip_input/${name})
  configure_file(${input} ${copy} COPYONLY)
  execute_process(COMMAND ${KVS_GZIP} -9n -c ${copy} OUTPUT_FILE ${output}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${input} failed: ${status}")
  endif()
endfunction()
