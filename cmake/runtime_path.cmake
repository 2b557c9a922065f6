# The runtime path of installed programs in a shared build: the library
# directory relative to the program's own ($ORIGIN/../lib, or the multiarch
# lib/<triplet> under /usr), so that an installed kvs finds libkvstore.so
# wherever its prefix lies, with no LD_LIBRARY_PATH. A static build links
# the store in and needs none; Windows finds DLLs beside the program.
if(BUILD_SHARED_LIBS AND NOT WIN32)
  file(RELATIVE_PATH kvs_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  if(APPLE)
    set(CMAKE_INSTALL_RPATH "@loader_path/${kvs_bin_to_lib}")
  else()
    set(CMAKE_INSTALL_RPATH "\$ORIGIN/${kvs_bin_to_lib}")
  endif()
  unset(kvs_bin_to_lib)
endif()
