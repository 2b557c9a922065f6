# debian_triggers_only.cmake: run by cpack after it made the .deb packages
# (CPACK_POST_BUILD_SCRIPTS). cpack gives a package with a library under
# /usr/lib a postinst and a postrm that call ldconfig; libkvstore1 has the
# ldconfig trigger (packaging/debian/libkvstore1.triggers) instead, as
# Debian wants, so those two scripts are taken out of it here and the
# package is built again from the same files, owned by root.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "/libkvstore1_[^/]*\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/triggers-only)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
