# Run by the install: each template with @PV_PREFIX@ replaced by this
# install's prefix, installed like any other file (DESTDIR, the manifest).
# PV_DIST_CONFIGURED holds "template|directory|name" entries.
set(PV_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Staged per destination, and removed after: installs into different
# prefixes may run at once from the same build directory (the tests).
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
foreach(entry IN LISTS PV_DIST_CONFIGURED)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 template)
  list(GET parts 1 directory)
  list(GET parts 2 name)
  set(staged "${PV_DIST_STAGING}/${destination}/${directory}/${name}")
  configure_file("${PV_DIST_SOURCE}/${template}" "${staged}" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${directory}" TYPE FILE FILES "${staged}")
endforeach()
file(REMOVE_RECURSE "${PV_DIST_STAGING}/${destination}")
