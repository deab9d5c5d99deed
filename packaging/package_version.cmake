# Read by CPack: a package made of Pelstow alone has Pelstow's version.
if(CPACK_COMPONENTS_ALL STREQUAL "pelstow")
  set(CPACK_PACKAGE_VERSION ${CPACK_PELSTOW_VERSION})
endif()
