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

// The second admission test: a path spelled from "/Library/" that stays inside /Library once
// its "." and ".." segments are resolved ("/Library/" itself does, "/Library/../etc/x" does not).
bool staysInLibrary(const std::string& path, const std::string& currentDirectory) {
    if (!path.starts_with(libraryPrefix)) {
        return false;
    }
    const std::string normalized = PrivilegedPathPolicy::normalize(path, currentDirectory);
    return normalized == libraryPrefix.substr(0, libraryPrefix.size() - 1) ||
           normalized.starts_with(libraryPrefix);
}

}  // namespace

PrivilegedResult repairPermissions(const std::string& path, const ClientFileSystem& fs) {
    const bool admitted = PrivilegedPathPolicy::isRemovable(path, fs.currentDirectory()) ||
                          staysInLibrary(path, fs.currentDirectory());
    if (!admitted) {
        return PrivilegedResult(false, std::string(refusedMessage), 0);
    }
    const Status<SystemError> changed = fs.setPermissions(path, repairedMode);
    if (!changed) {
        return PrivilegedResult(false, changed.error().text(), 0);
    }
    return PrivilegedResult(true, std::string(successPrefix) + path, 0);
}

}  // namespace tavelin
