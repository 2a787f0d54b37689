# What a `cmake --install` of a release build puts beside the programs, for the Debian
# packages (debian/, built by tools/package.sh) and for an installation by hand: the trust
# anchor, the front's account and, in the reference layout, the folders the daemon acts in.

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
