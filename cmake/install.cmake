# What `cmake --install` puts where: the header, the shared library with a
# CMake package (QUILVANE_SDK::QUILVANE_SDK) and a pkg-config file. The tools
# and the Python package add their own rules. Components, one Debian package
# each (cmake/package.cmake): runtime (the versioned library), dev (what a
# build against it needs), tools (everything else).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(QUILVANE_SDK PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(QUILVANE_SDK INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS QUILVANE_SDK EXPORT QUILVANE_SDKTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/quilvane_sdk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(QUILVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QUILVANE_SDK)
install(EXPORT QUILVANE_SDKTargets NAMESPACE QUILVANE_SDK:: DESTINATION ${QUILVANE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QUILVANE_SDKConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QUILVANE_SDKConfig.cmake INSTALL_DESTINATION ${QUILVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QUILVANE_SDKConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QUILVANE_SDKConfig.cmake ${PROJECT_BINARY_DIR}/QUILVANE_SDKConfigVersion.cmake
        DESTINATION ${QUILVANE_CMAKE_DIR} COMPONENT dev)

# Relative to the .pc file, so that an install moved or made with --prefix still works.
file(RELATIVE_PATH QUILVANE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QUILVANE_PC_TO_PREFIX "${QUILVANE_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/QUILVANE_SDK.pc.in ${PROJECT_BINARY_DIR}/QUILVANE_SDK.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/QUILVANE_SDK.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
