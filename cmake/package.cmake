# What `cmake --build build --target package` makes with CPack, every name
# carrying the project version:
#   QUILVANE_SDK-<version>-windows.zip: the Windows SDK (component windows_sdk,
#     cmake/windows_sdk.cmake), from cross builds of both DLLs;
#   libquilvane-sdk<major>, libquilvane-sdk-dev and quilvane-tools .deb files
#     of this Linux build (components runtime, dev and tools).
# cmake/cpack_generators.cmake gives each generator its components.
set(QUILVANE_PACKAGE_CONTACT "QUILVANE_SDK developers <quilvane-sdk@example.invalid>"
    CACHE STRING "Maintainer named in the Debian packages")

include(cmake/windows_sdk.cmake)

# Wireshark loads Lua plugins from its global plugin folder: the packaged
# dissector is linked there. Only the Debian package has it (EXCLUDE_FROM_ALL):
# under another prefix Wireshark would not look.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(plugin_dir lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
  file(RELATIVE_PATH to_dissector /${plugin_dir} /${CMAKE_INSTALL_DATADIR}/quilvane/wireshark/quilvane.lua)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/wireshark-plugin)
  file(CREATE_LINK ${to_dissector} ${PROJECT_BINARY_DIR}/wireshark-plugin/quilvane.lua SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/wireshark-plugin/quilvane.lua DESTINATION ${plugin_dir} COMPONENT tools
          EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME QUILVANE_SDK)
set(CPACK_PACKAGE_VENDOR "QUILVANE_SDK developers")
set(CPACK_PACKAGE_CONTACT ${QUILVANE_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CAN and CAN FD interface devices over Ethernet and IPv4")
set(CPACK_GENERATOR ZIP DEB)
# The build's debugging information stays out of the packages.
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_generators.cmake)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_WINDOWS_SDK_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The tools link the runtime package's library, which no installed package provides yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(runtime_package libquilvane-sdk${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "CAN and CAN FD interface devices over Ethernet and IPv4 - shared library
 Opens TCP and UDP connections to CAN interface devices, sends and receives
 CAN and CAN FD frames, searches the local networks for devices.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquilvane-sdk-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${runtime_package} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "CAN and CAN FD interface devices over Ethernet and IPv4 - development files
 The header quilvane_sdk.h, the CMake package QUILVANE_SDK and the
 pkg-config file QUILVANE_SDK.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quilvane-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${runtime_package} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "python3, python3-can")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "wireshark | tshark")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "CAN and CAN FD interface devices over Ethernet and IPv4 - tools
 quilvane (search, probe, dump, send, generate, replay), the device
 simulator quilvane-sim, the python-can interface quilvane and a Wireshark
 dissector.")
include(CPack)
