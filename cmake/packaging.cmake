# Packages made by cpack from a Release build directory: a .deb on Linux,
# a .zip on Windows. Both hold everything that cmake --install puts in place.
set(CPACK_PACKAGE_NAME kvstools)
set(CPACK_PACKAGE_VENDOR "the kvstools developers")
set(CPACK_PACKAGE_CONTACT "kvstools developers <kvstools@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Template-to-store compiler, output capture tool and single-file keyed record store")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "kvsgen compiles a text template into a single-file keyed record store (.kvs);"
    "echolog32 runs a command and copies its captured output; kvstore is the record"
    "store library, usable from C and C++, with its headers, CMake package and"
    "pkg-config file.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The programs need only the C and C++ runtimes, named here rather than
# worked out by dpkg-shlibdeps, which not every build machine has.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")

include(CPack)
