#include "PermissionRepair.h"

#include <string_view>

#include "SystemError.h"
#include "TavelinShared/PrivilegedPathPolicy.h"

namespace tavelin {

namespace {

constexpr std::string_view libraryPrefix = "/Library/";
constexpr mode_t repairedMode = 0755;
constexpr std::string_view refusedMessage = "Pfad au\u00dferhalb der zul\u00e4ssigen Bereiche";
constexpr std::string_view successPrefix = "Rechte gesetzt: ";

// The second admission test: a path spelled below "/Library/" that stays there once its
// "." and ".." segments are resolved ("/Library/../etc/x" does not).
bool staysBelowLibrary(const std::string& path, const std::string& currentDirectory) {
    return path.starts_with(libraryPrefix) &&
           PrivilegedPathPolicy::normalize(path, currentDirectory).starts_with(libraryPrefix);
}

}  // namespace

PrivilegedResult repairPermissions(const std::string& path, const ClientFileSystem& fs) {
    const bool admitted = PrivilegedPathPolicy::isRemovable(path, fs.currentDirectory()) ||
                          staysBelowLibrary(path, fs.currentDirectory());
    if (!admitted) {
        return PrivilegedResult(false, std::string(refusedMessage), 0);
    }
    const FsStatus changed = fs.setPermissions(path, repairedMode);
    if (!changed) {
        return PrivilegedResult(false, changed.error().text(), 0);
    }
    return PrivilegedResult(true, std::string(successPrefix) + path, 0);
}

}  // namespace tavelin
