# Installation and packages. Linux: the updater, the device-access library with its
# header, pkg-config file and CMake package, the manual pages and the udev rule, as a
# Debian package. Windows: a zip of the release executable, its import library, the
# header and a short text for the operator.
include(GNUInstallDirs)

install(FILES include/QDp_FW_FirstUpdater.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# On Windows the import library of the executable's exports goes to lib/.
install(TARGETS QDp_FW_FirstUpdater
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The date the manual pages and the changelog carry: the last commit's, so that the
# same sources give the same package.
execute_process(COMMAND git log -1 --format=%cs WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE QDP_MANUAL_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
execute_process(COMMAND git log -1 --format=%cD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE QDP_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT QDP_MANUAL_DATE)
    string(TIMESTAMP QDP_MANUAL_DATE "%Y-%m-%d" UTC)
    string(TIMESTAMP QDP_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()

set(CPACK_PACKAGE_NAME QDp_FW_FirstUpdater)
set(CPACK_PACKAGE_VENDOR "Quirn Dorvel+")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Quirn Dorvel+ voice recorders")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

if(WIN32)
    configure_file(resources/README-operator.txt.in ${CMAKE_BINARY_DIR}/generated/README.txt
        NEWLINE_STYLE CRLF @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/generated/README.txt DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    include(CPack)
    return()
endif()

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

# The manual pages, compressed as Debian has them (no name or time in the gzip header).
set(QDP_PACKAGE qdp-fw-firstupdater)
foreach(section 1 3)
    set(page ${CMAKE_BINARY_DIR}/generated/man/QDp_FW_FirstUpdater.${section})
    configure_file(docs/QDp_FW_FirstUpdater.${section}.in ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9nkf ${page} DEPENDS ${page}
        COMMENT "Compressing the manual page QDp_FW_FirstUpdater(${section})")
    list(APPEND QDP_MANUAL_PAGES ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
configure_file(cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/generated/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/generated/changelog.gz
    COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/generated/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/generated/changelog)
add_custom_target(qdp_package_documents ALL
    DEPENDS ${QDP_MANUAL_PAGES} ${CMAKE_BINARY_DIR}/generated/changelog.gz)
install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/generated/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QDP_PACKAGE})
install(FILES resources/70-qdp-recorder.rules DESTINATION lib/udev/rules.d)

# The Debian package: cpack --preset linux-deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_NAME ${QDP_PACKAGE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QDp_FW_FirstUpdater developers <updater@qdp.invalid>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library's shlibs, and the ldconfig trigger that a package with a public shared
# library carries today (no maintainer scripts).
configure_file(cmake/debian/shlibs.in ${CMAKE_BINARY_DIR}/generated/debian/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/generated/debian/shlibs
    ${CMAKE_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "QDp_FW_FirstUpdater updates the firmware of a Quirn Dorvel+ digital voice
recorder connected by USB: it shows the installed and offered versions, asks
before it changes anything, replaces the boot loader when needed, programs the
firmware and erases the recorder's storage.
.
A udev rule gives the recorder to the user logged in at the seat, so the
updater runs without root. The package also carries the device-access library
libQDp_FW_FirstUpdater with its C header, pkg-config file and CMake package.")
include(CPack)
