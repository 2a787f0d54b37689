#include "PrivilegedOperations.h"

#include <variant>

#include "LoggedPath.h"
#include "PathRemoval.h"
#include "PermissionRepair.h"
#include "UpdateInstallation.h"

namespace tavelin {

namespace {

constexpr std::string_view auditPrefix = "[TavelinHelper] perform: ";

// The operation's audit description, with a repaired path cut to what one log line
// carries (loggedPath); the operation itself acts on the whole path.
std::string auditText(const PrivilegedOperation& operation) {
    if (const auto* repair =
            std::get_if<PrivilegedOperation::RepairPermissions>(&operation.payload())) {
        return PrivilegedOperation::repairPermissions(loggedPath(repair->path)).auditDescription();
    }
    return operation.auditDescription();
}

}  // namespace

PrivilegedResult PrivilegedOperations::perform(const PrivilegedOperation& operation,
                                               const Requester& requester) {
    // The audit trail: what was asked and what was done, each line about the requester.
    PeerLogSink audit(log_, LogPriority::notice, LogPeer{requester.pid, requester.uid});
    audit.log(std::string(auditPrefix) + auditText(operation));
    if (!authorization_.permits(operation, requester)) {
        return PrivilegedResult(false, std::string(notAuthorizedMessage), 0);
    }
    const auto& payload = operation.payload();
    if (const auto* removal = std::get_if<PrivilegedOperation::RemoveSystemPaths>(&payload)) {
        return removeSystemPaths(removal->paths, fileSystem_, audit);
    }
    if (const auto* repair = std::get_if<PrivilegedOperation::RepairPermissions>(&payload)) {
        return repairPermissions(repair->path, fileSystem_);
    }
    return updates_.install();
}

}  // namespace tavelin
