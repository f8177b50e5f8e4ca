# Installation: the updater, the device-access library with its header, pkg-config
# file and CMake package; on Windows a zip of the release executable, its import
# library and the header.
include(GNUInstallDirs)

install(FILES include/QDp_FW_FirstUpdater.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# On Windows the import library of the executable's exports goes to lib/.
install(TARGETS QDp_FW_FirstUpdater
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

if(NOT WIN32)
    install(TARGETS qdp_shared EXPORT QDpTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    set(QDP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QDp_FW_FirstUpdater)
    install(EXPORT QDpTargets NAMESPACE QDp:: DESTINATION ${QDP_CMAKE_DIR}
        FILE QDp_FW_FirstUpdaterTargets.cmake)

    include(CMakePackageConfigHelpers)
    configure_package_config_file(cmake/QDp_FW_FirstUpdaterConfig.cmake.in
        ${CMAKE_BINARY_DIR}/generated/QDp_FW_FirstUpdaterConfig.cmake
        INSTALL_DESTINATION ${QDP_CMAKE_DIR})
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/generated/QDp_FW_FirstUpdaterConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
    install(FILES ${CMAKE_BINARY_DIR}/generated/QDp_FW_FirstUpdaterConfig.cmake
        ${CMAKE_BINARY_DIR}/generated/QDp_FW_FirstUpdaterConfigVersion.cmake
        DESTINATION ${QDP_CMAKE_DIR})

    string(REGEX REPLACE "[^/]+" ".." QDP_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    configure_file(cmake/QDp_FW_FirstUpdater.pc.in
        ${CMAKE_BINARY_DIR}/generated/QDp_FW_FirstUpdater.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/generated/QDp_FW_FirstUpdater.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

set(CPACK_PACKAGE_NAME QDp_FW_FirstUpdater)
set(CPACK_PACKAGE_VENDOR "Quirn Dorvel+")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater and device-access library for the recorder")
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
