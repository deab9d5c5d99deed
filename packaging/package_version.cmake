# Read by CPack: each Debian package carries its own program's version, and the package's own
# revision of it (the packages changed while the programs' version records stayed).
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
if(CPACK_COMPONENTS_ALL STREQUAL "pelstow")
  set(CPACK_PACKAGE_VERSION ${CPACK_PELSTOW_VERSION})
endif()
