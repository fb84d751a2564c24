# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE): the ZIP is
# the Windows SDK alone, the Debian packages are everything of this build.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_COMPONENTS_ALL windows_sdk)
  # Unpacks into one folder of the archive's name.
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_ARCHIVE_WINDOWS_SDK_FILE_NAME})
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL runtime dev tools)
endif()
