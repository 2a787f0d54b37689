# Debian packages with CPack: `cpack -G DEB` in a release build tree.
#
#   tavelin-helper         the daemon (monitor and front), the update runner, their
#                          units, the front's account (sysusers.d), in the reference
#                          layout the folders it acts in (tmpfiles.d), the polkit actions, the trust anchor's folder,
#                          tavelin-helper(8)
#   tavelin-tools          tavelinctl (with bash completion) and tavelin-codesign, their
#                          man pages
#   libtavelin-client-dev  the client library for applications: headers, the static
#                          library, a CMake package (find_package(TavelinClient)) and a
#                          pkg-config file (tavelin-client)
#   tavelin-dbg            the debug information split off the executables
#
# CPack, not a debian/ directory: the packages come from the same install rules a
# `cmake --install` uses, and nothing in between strips the signed executables again
# (dh_strip would, and a stripped signed file has lost its signature). The build strips
# before signing (cmake/DebugInfo.cmake); CPACK_STRIP_FILES stays off.

set(TAVELIN_TRUST_ANCHOR_CERTIFICATE "" CACHE FILEPATH
    "Certificate to install as the trust anchor (at TAVELIN_TRUST_ANCHOR); empty: the administrator places it")

# The anchor's folder belongs to the daemon package; the certificate too when the
# packager has it. Without it the daemon refuses to start until the administrator puts
# a root-owned, not group- or world-writable anchor there.
if(TAVELIN_TRUST_ANCHOR AND NOT TAVELIN_IS_DEVELOPMENT_BUILD)
    cmake_path(GET TAVELIN_TRUST_ANCHOR PARENT_PATH tavelinAnchorFolder)
    cmake_path(GET TAVELIN_TRUST_ANCHOR FILENAME tavelinAnchorName)
    install(DIRECTORY DESTINATION ${tavelinAnchorFolder} COMPONENT daemon)
    if(TAVELIN_TRUST_ANCHOR_CERTIFICATE)
        install(FILES ${TAVELIN_TRUST_ANCHOR_CERTIFICATE} DESTINATION ${tavelinAnchorFolder}
            RENAME ${tavelinAnchorName}
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT daemon)
    endif()
endif()

# The front's account, created by systemd-sysusers when the package is configured; and,
# for a layout whose folders a Linux host does not have, those folders: its unit can make
# them writable only if they exist when it starts (systemd-tmpfiles, at boot and when the
# package is configured). A linux layout build makes no folder.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/sysusers/tavelin-helper.conf
    DESTINATION lib/sysusers.d COMPONENT daemon)
if(TAVELIN_LAYOUT_FOLDERS_FILE)
    install(FILES ${TAVELIN_LAYOUT_FOLDERS_FILE}
        DESTINATION lib/tmpfiles.d RENAME tavelin-helper.conf COMPONENT daemon)
endif()

# The licence, in every package.
foreach(component daemon tools development debug)
    set(package_daemon tavelin-helper)
    set(package_tools tavelin-tools)
    set(package_development libtavelin-client-dev)
    set(package_debug tavelin-dbg)
    install(FILES ${PROJECT_SOURCE_DIR}/deploy/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package_${component}} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavelin)
set(CPACK_PACKAGE_VENDOR "Morvane")
set(CPACK_PACKAGE_CONTACT "Tavelin maintainers <tavelin@morvane.de>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Privileged helper of the Tavelin maintenance application")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon tools development debug)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME tavelin-helper)
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "systemd")
set(CPACK_DEBIAN_DAEMON_PACKAGE_RECOMMENDS "polkitd, tavelin-tools")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/deploy/debian/postinst
    ${PROJECT_SOURCE_DIR}/deploy/debian/prerm
    ${PROJECT_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_DAEMON_DESCRIPTION
    "Privileged helper daemon of the Tavelin maintenance application
 Removes cache and log items below five system folders, resets one item's permissions
 and runs the system's update tool, for clients whose executable carries a code
 signature that chains to the installed trust anchor. Socket-activated; runs as a root
 monitor and an unprivileged, sandboxed front.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tavelin-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "tavelin-helper")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Command-line client and code-signing tool for the Tavelin helper
 tavelinctl asks the Tavelin helper daemon to remove paths, repair permissions and
 install updates; tavelin-codesign signs and verifies executables.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtavelin-client-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libicu-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "cmake, pkg-config, tavelin-tools")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Client library of the Tavelin helper (development files)
 Headers, the static library, a CMake package (find_package(TavelinClient)) and a
 pkg-config file (tavelin-client) for applications that talk to the Tavelin helper.
 An application must be signed (tavelin-codesign) to be admitted.")

set(CPACK_DEBIAN_DEBUG_PACKAGE_NAME tavelin-dbg)
set(CPACK_DEBIAN_DEBUG_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_DEBUG_PACKAGE_DEPENDS "tavelin-helper (= ${PROJECT_VERSION}-1) | tavelin-tools (= ${PROJECT_VERSION}-1)")
set(CPACK_COMPONENT_DEBUG_DESCRIPTION
    "Debug information of the Tavelin helper and tools
 Symbols of tavelin-helper, its front, tavelinctl and tavelin-codesign, found by gdb
 through each executable's debug link.")

# Packaging a development build is refused (its daemon trusts an anchor whose keys lie in
# the build tree); the check runs when cpack starts.
set(CPACK_TAVELIN_DEVELOPMENT_BUILD ${TAVELIN_IS_DEVELOPMENT_BUILD})
set(CPACK_TAVELIN_ALLOW_DEVELOPMENT_INSTALL ${TAVELIN_ALLOW_DEVELOPMENT_INSTALL})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackagingGuard.cmake)

include(CPack)
