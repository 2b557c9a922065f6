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
    set_tests_properties(${name} PROPERTIES TIMEOUT 900)
  else()
    # A bound on every case, so a fault that makes the code loop fails the
    # run instead of hanging it.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()
