#include "TavelinHelper/monitor/PrivilegedOperations.h"

#include <variant>

#include "TavelinHelper/monitor/LoggedPath.h"
#include "TavelinHelper/monitor/PathRemoval.h"
#include "TavelinHelper/monitor/PermissionRepair.h"
#include "TavelinHelper/monitor/UpdateInstallation.h"
#include "TavelinShared/internal/Overloaded.h"

namespace tavelin {

namespace {

constexpr std::string_view auditPrefix = "[TavelinHelper] perform: ";

// The operation's audit description, with a repaired path cut to what one log line
// carries (loggedPath); the operation itself acts on the whole path.
std::string auditText(const PrivilegedOperation& operation) {
    return std::visit(
        Overloaded{[&](const PrivilegedOperation::RepairPermissions& repair) {
                       return PrivilegedOperation::repairPermissions(loggedPath(repair.path))
                           .auditDescription();
                   },
                   [&](const PrivilegedOperation::RemoveSystemPaths&) {
                       return operation.auditDescription();
                   },
                   [&](const PrivilegedOperation::InstallSystemUpdates&) {
                       return operation.auditDescription();
                   }},
        operation.payload());
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
    return std::visit(Overloaded{[&](const PrivilegedOperation::RemoveSystemPaths& removal) {
                                     return removeSystemPaths(removal.paths, fileSystem_, audit);
                                 },
                                 [&](const PrivilegedOperation::RepairPermissions& repair) {
                                     return repairPermissions(repair.path, fileSystem_);
                                 },
                                 [&](const PrivilegedOperation::InstallSystemUpdates&) {
                                     return updates_.install();
                                 }},
                      operation.payload());
}

}  // namespace tavelin
