# Packages made by cpack from a Release build directory: .deb packages on
# Linux, split as a distribution splits a library and its programs, and a
# .zip holding the whole install on Windows. A package build is configured
# with -DCMAKE_INSTALL_PREFIX=/usr, which also gives the multiarch library
# directory (lib/<triplet>).
set(CPACK_PACKAGE_NAME kvstools)
set(CPACK_PACKAGE_VENDOR "The kvstools authors")
set(CPACK_PACKAGE_CONTACT "The kvstools authors <maintainers@kvstools.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "Template-to-store compiler, output capture tool and single-file keyed record store")
else()
  # Each package's description (its first line the synopsis) is its own.
  set(CPACK_GENERATOR DEB)
  include(${CMAKE_CURRENT_LIST_DIR}/debian_packages.cmake)
endif()

include(CPack)
