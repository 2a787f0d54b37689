# The folders the daemon acts in: a layout, one header per layout
# (TavelinShared/layouts/<name>/), chosen when the client and the daemon are built, never
# at run time. docs/path-layouts.md has both.
#
#   reference  the folder names the client has always used; the default
#   linux      the host's /var/cache, /var/log, /var/tmp, /var/crash and core dumps, and
#              the host's package manager as the update tool; what the packages ship

set(tavelinPathLayouts reference linux)
set(TAVELIN_PATH_LAYOUT reference CACHE STRING "Folders the path policy admits: reference or linux")
set_property(CACHE TAVELIN_PATH_LAYOUT PROPERTY STRINGS ${tavelinPathLayouts})
if(NOT TAVELIN_PATH_LAYOUT IN_LIST tavelinPathLayouts)
    list(JOIN tavelinPathLayouts ", " known)
    message(FATAL_ERROR "TAVELIN_PATH_LAYOUT is \"${TAVELIN_PATH_LAYOUT}\"; known layouts: ${known}")
endif()
message(STATUS "Path layout: ${TAVELIN_PATH_LAYOUT}")

# What the service unit needs of the layout. Its file system is read-only but for the
# trees it removes and repairs in ("-": left out when missing at start). The reference
# folders exist on no Linux host, so the package makes them at boot (tmpfiles.d); the
# linux layout's are the host's own, and the package makes none. /var/tmp must be the
# host's, so a linux build's daemon keeps no private /tmp and /var/tmp.
set(tavelinLayoutWritablePaths_reference
    "-/Library -/System/Library/Caches -/private/var/folders -/private/var/log")
set(tavelinLayoutWritablePaths_linux
    "-/var/cache -/var/log -/var/tmp -/var/crash -/var/lib/systemd/coredump -/opt")
set(tavelinLayoutPrivateTmp_reference yes)
set(tavelinLayoutPrivateTmp_linux no)
set(tavelinLayoutFolders_reference ${PROJECT_SOURCE_DIR}/deploy/tmpfiles/tavelin-helper.conf)
set(tavelinLayoutFolders_linux "")

set(TAVELIN_UNIT_WRITABLE_PATHS "${tavelinLayoutWritablePaths_${TAVELIN_PATH_LAYOUT}}")
set(TAVELIN_UNIT_PRIVATE_TMP "${tavelinLayoutPrivateTmp_${TAVELIN_PATH_LAYOUT}}")
set(TAVELIN_LAYOUT_FOLDERS_FILE "${tavelinLayoutFolders_${TAVELIN_PATH_LAYOUT}}")

# The system's update tool, run with the same fixed arguments in every layout: the
# reference layout's own, or, on a Linux host, our tavelin-system-update, which upgrades
# with the host's package manager (installed beside the update runner).
set(tavelinLayoutUpdateTool_reference "/usr/sbin/softwareupdate")
set(tavelinLayoutUpdateTool_linux "${CMAKE_INSTALL_FULL_LIBEXECDIR}/tavelin/tavelin-system-update")
set(TAVELIN_UPDATE_TOOL "${tavelinLayoutUpdateTool_${TAVELIN_PATH_LAYOUT}}")
