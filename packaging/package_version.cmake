# Read by CPack: each Debian package carries its own program's version, and the package's own
# revision of it (the packaging and the Linux layer changed while the program's version stayed).
if(CPACK_COMPONENTS_ALL STREQUAL "pelstow")
  set(CPACK_PACKAGE_VERSION ${CPACK_PELSTOW_VERSION})
else()
  set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
endif()
