# kvs_warnings(target): the warning set every target of the project is built with.
function(kvs_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wsign-conversion)
  if(KVS_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
