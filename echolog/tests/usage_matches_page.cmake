# usage_matches_page.cmake: echolog32(1) and the tool's usage output agree.
# Every option the page names is in the usage output and every option of the
# usage output is on the page; the page shows every line of the usage output.
#   cmake -DTOOL=<echolog32> -DPAGE=<echolog32.1> [-DEMULATOR=<a|b|...>]
#         -P usage_matches_page.cmake
# EMULATOR runs the tool when it is built for another system; its words are
# separated by "|".
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${TOOL} OUTPUT_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "echolog32 without a command ended with ${status}, not 1")
endif()
string(REPLACE "\r" "" usage "${usage}")

# The page's text as it reads: troff's minus signs as plain ones, no font changes.
file(READ "${PAGE}" page)
string(REPLACE "\\-" "-" page "${page}")
string(REGEX REPLACE "\\\\f[BIRP]" "" page "${page}")

# An option starts a word with one or two minus signs and a letter.
function(options_of text result)
  string(REGEX MATCHALL "[ \t\n[(|]--?[A-Za-z][A-Za-z0-9-]*" found "\n${text}")
  set(names "")
  foreach(option IN LISTS found)
    string(SUBSTRING "${option}" 1 -1 option)
    list(APPEND names "${option}")
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(${result} "${names}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${emulator} ${TOOL} --version OUTPUT_VARIABLE version
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT version MATCHES "^echolog32 [0-9]+\\.[0-9]+\\.[0-9]+\r?\n$")
  message(FATAL_ERROR "echolog32 --version ended with ${status} and printed \"${version}\"")
endif()

options_of("${usage}" usage_options)
list(APPEND usage_options --version)
list(SORT usage_options)
options_of("${page}" page_options)
if(NOT usage_options STREQUAL page_options)
  message(FATAL_ERROR "options of the usage output: [${usage_options}]\n"
                      "options on the page: [${page_options}]")
endif()

string(REGEX REPLACE "\n$" "" usage "${usage}")
string(REPLACE "\n" ";" usage_lines "${usage}")
foreach(line IN LISTS usage_lines)
  string(FIND "${page}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the page does not show the usage line \"${line}\"")
  endif()
endforeach()
