#include "TavelinHelper/monitor/PermissionRepair.h"

#include <string_view>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinShared/PrivilegedPathPolicy.h"

namespace tavelin {

namespace {

constexpr mode_t repairedMode = 0755;
constexpr std::string_view refusedMessage = "Pfad au\u00dferhalb der zul\u00e4ssigen Bereiche";
constexpr std::string_view successPrefix = "Rechte gesetzt: ";

}  // namespace

PrivilegedResult repairPermissions(const std::string& path, const ClientFileSystem& fs) {
    if (!PrivilegedPathPolicy::isRepairable(path, fs.currentDirectory())) {
        return PrivilegedResult(false, std::string(refusedMessage), 0);
    }
    const Status<SystemError> changed = fs.setPermissions(path, repairedMode);
    if (!changed) {
        return PrivilegedResult(false, changed.error().text(), 0);
    }
    return PrivilegedResult(true, std::string(successPrefix) + path, 0);
}

}  // namespace tavelin
