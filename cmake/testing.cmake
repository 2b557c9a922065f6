# kvs_test(name SOURCES ... LIBS ...): one GoogleTest binary.
# Natively each test case is its own CTest test; when cross-compiling the
# binary runs as one test through CMAKE_CROSSCOMPILING_EMULATOR, since every
# start of the emulator costs seconds.
function(kvs_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  kvs_warnings(${name})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
