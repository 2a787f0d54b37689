#include "HelperService.h"

#include <utility>
#include <variant>

#include "LoggedPath.h"
#include "PathRemoval.h"
#include "PermissionRepair.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "UpdateInstallation.h"

namespace tavelin {

namespace {

constexpr std::string_view auditPrefix = "[TavelinHelper] perform: ";
constexpr std::string_view invalidOperationMessage = "Ungültige Operation";

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

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

HelperService::HelperService(LogSink& log, const ClientFileSystem& fileSystem,
                             UpdateInstaller& updates)
    : log_(log), fileSystem_(fileSystem), updates_(updates) {}

void HelperService::helperVersion(const VersionReply& reply) {
    try {
        reply(std::string(PrivilegedHelperInfo::version));
    } catch (...) {
        // The reply is the transport's; if it cannot send, nothing here can do better.
    }
}

void HelperService::perform(std::string_view operationJSON, const DataReply& reply) {
    const std::string answer = answerFor(operationJSON);
    try {
        reply(answer);
    } catch (...) {
        // As in helperVersion: called once, and no exception leaves the interface.
    }
}

std::string HelperService::answerFor(std::string_view operationJSON) const noexcept {
    try {
        const PrivilegedResult result = resultFor(operationJSON);
        std::optional<std::string> encoded = result.encode();
        return encoded ? std::move(*encoded) : std::string();
    } catch (...) {
        // Out of memory, or no thread for the update run: the operation's own failure
        // handling could not run, so there is no result to send; answer as for a result
        // that cannot be encoded.
        return {};
    }
}

PrivilegedResult HelperService::resultFor(std::string_view operationJSON) const {
    // A fresh decode per request; nothing of an earlier request is visible here.
    const Expected<PrivilegedOperation, DecodingError> decoded =
        PrivilegedOperation::decode(operationJSON);
    if (!decoded) {
        return PrivilegedResult(false, std::string(invalidOperationMessage), 0);
    }
    const PrivilegedOperation& operation = decoded.value();
    log_.log(std::string(auditPrefix) + auditText(operation));

    return std::visit(Overloaded{
                          [this](const PrivilegedOperation::RemoveSystemPaths& removal) {
                              return removeSystemPaths(removal.paths);
                          },
                          [this](const PrivilegedOperation::RepairPermissions& repair) {
                              return repairPermissions(repair.path);
                          },
                          [this](const PrivilegedOperation::InstallSystemUpdates&) {
                              return installSystemUpdates();
                          },
                      },
                      operation.payload());
}

PrivilegedResult HelperService::removeSystemPaths(const std::vector<std::string>& paths) const {
    return tavelin::removeSystemPaths(paths, fileSystem_, log_);
}

PrivilegedResult HelperService::repairPermissions(const std::string& path) const {
    return tavelin::repairPermissions(path, fileSystem_);
}

PrivilegedResult HelperService::installSystemUpdates() const {
    return updates_.install();
}

}  // namespace tavelin
