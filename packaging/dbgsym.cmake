# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# The -dbgsym package of CPack 3.25 names its files in md5sums by their
# absolute staging paths and has no /usr/share/doc; it is made again with
# dpkg-deb, as debhelper makes such packages: md5sums of the package's own
# paths, the doc folder a link to that of the package it depends on, and the
# .debug files readable, not executable.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "/([^/_]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(main ${CMAKE_MATCH_1})
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
  set(md5sums "")
  foreach(file IN LISTS debug_files)
    file(CHMOD ${tree}/${file} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 ${tree}/${file} sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${main} ${tree}/usr/share/doc/${main}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${package} OUTPUT_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
