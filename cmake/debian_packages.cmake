# debian_packages.cmake: the .deb packages that cpack makes, split as a
# distribution splits a library and its programs:
#   kvstools        kvs, kvsgen and echolog32 (each where it is built), their
#                   manual pages, the store format's page and kvs's bash
#                   completion;
#   libkvstore1     the shared record store library (libkvstore.so.1), made
#                   only by a build with BUILD_SHARED_LIBS=ON;
#   libkvstore-dev  the headers, the static library or the libkvstore.so
#                   link, the CMake package, kvstore.pc and kvstore(3).
# The default build is static: every program has the store linked in and
# needs no library package, and a libkvstore1 would have nothing to hold, so
# that build makes kvstools and libkvstore-dev (with libkvstore.a) alone.
# Each package carries the copyright file (packaging/debian/copyright, the
# licence in the machine-readable format), changelog.Debian.gz and its
# lintian overrides, installed only into the packages (EXCLUDE_FROM_ALL).
include(${CMAKE_CURRENT_LIST_DIR}/gzip_file.cmake)
if(NOT KVS_GZIP)
  message(FATAL_ERROR "the .deb packages need gzip for their pages and changelogs")
endif()

set(kvs_debian_sources ${PROJECT_SOURCE_DIR}/packaging/debian)
set(kvs_debian_files ${PROJECT_BINARY_DIR}/debian)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kvstools libkvstore-dev)
if(BUILD_SHARED_LIBS)
  list(APPEND CPACK_COMPONENTS_ALL libkvstore1)
endif()

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(KVS_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on the C and C++ runtimes, with their versions, come from
# dpkg-shlibdeps; it finds libkvstore.so.1 in the build tree, and the
# dependency on the package that holds it is named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/store)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_KVSTOOLS_PACKAGE_NAME kvstools)
set(CPACK_DEBIAN_KVSTOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_KVSTOOLS_DESCRIPTION
"tools for single-file keyed record stores
kvsgen compiles a text template into a keyed record store (.kvs), a single
binary file that maps keys to values; kvs looks into, checks, exports and
changes such stores from the command line; echolog32 runs a command and
copies its captured output to standard output and to the console.")

set(CPACK_DEBIAN_LIBKVSTORE1_PACKAGE_NAME libkvstore1)
set(CPACK_DEBIAN_LIBKVSTORE1_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBKVSTORE1_DESCRIPTION
"single-file keyed record store library
kvstore keeps keys and values in one binary file: put, size, read and
delete values by key, list keys by prefix, compaction, statistics and a
consistency check, with crash-safe commits through a journal.
.
This package holds the shared library.")
configure_file(${kvs_debian_sources}/libkvstore1.triggers ${kvs_debian_files}/libkvstore1/triggers
  COPYONLY)
set(CPACK_DEBIAN_LIBKVSTORE1_PACKAGE_CONTROL_EXTRA ${kvs_debian_files}/libkvstore1/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian_triggers_only.cmake)

set(CPACK_DEBIAN_LIBKVSTORE-DEV_PACKAGE_NAME libkvstore-dev)
set(CPACK_DEBIAN_LIBKVSTORE-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_LIBKVSTORE-DEV_DESCRIPTION
"single-file keyed record store library (development files)
kvstore keeps keys and values in one binary file: put, size, read and
delete values by key, list keys by prefix, compaction, statistics and a
consistency check, with crash-safe commits through a journal.
.
This package holds the C and C++ headers, the library to link, the CMake
package (find_package(kvstore)), kvstore.pc and the kvstore(3) page.")

if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_KVSTOOLS_PACKAGE_DEPENDS "libkvstore1 (= ${KVS_DEB_VERSION})")
  set(CPACK_DEBIAN_LIBKVSTORE-DEV_PACKAGE_DEPENDS "libkvstore1 (= ${KVS_DEB_VERSION})")
endif()

# The Debian files of each package.
configure_file(${kvs_debian_sources}/changelog.in ${kvs_debian_files}/changelog @ONLY)
kvs_gzip_file(${kvs_debian_files}/changelog ${kvs_debian_files}/changelog.Debian.gz)
foreach(package kvstools libkvstore1 libkvstore-dev)
  install(FILES ${kvs_debian_sources}/copyright ${kvs_debian_files}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${package} EXCLUDE_FROM_ALL)
  if(EXISTS ${kvs_debian_sources}/${package}.lintian-overrides)
    install(FILES ${kvs_debian_sources}/${package}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
      COMPONENT ${package} EXCLUDE_FROM_ALL)
  endif()
endforeach()
