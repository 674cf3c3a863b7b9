# Run by cpack once it has made the package: the package is rebuilt by
# dpkg-deb from its own contents. dpkg-deb gives the archive members Debian's
# modes, owner and times (SOURCE_DATE_EPOCH, which cpack sets to the release
# date), where cpack's own archive takes the modes of its members from the
# umask of whoever builds; so the package is the same bytes in every build.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.contents")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  # Directories and executables 755, every other file 644, whatever the umask.
  execute_process(COMMAND chmod -R u=rwX,go=rX "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
