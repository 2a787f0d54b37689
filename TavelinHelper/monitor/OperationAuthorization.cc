#include "TavelinHelper/monitor/OperationAuthorization.h"

#include <optional>
#include <variant>

#include "TavelinPlatform/authority/Polkit.h"
#include "TavelinShared/JsonText.h"
#include "TavelinShared/UnicodeText.h"
#include "TavelinShared/internal/Overloaded.h"

namespace tavelin {

namespace {

using Op = PrivilegedOperation;

const char* actionOf(const PrivilegedOperation& operation) {
    return std::visit(
        Overloaded{
            [](const Op::RemoveSystemPaths&) { return PolkitAuthorization::removeAction; },
            [](const Op::RepairPermissions&) { return PolkitAuthorization::repairAction; },
            [](const Op::InstallSystemUpdates&) { return PolkitAuthorization::updateAction; }},
        operation.payload());
}

// What a site rule reads with action.lookup(); nothing when the details cannot be sent as
// they are (not UTF-8, a NUL in a path, beyond maxDetailBytes).
std::optional<polkit::Details> detailsOf(const Op::RemoveSystemPaths& removal) {
    auto paths = jsonStringArray(removal.paths);
    if (!paths || paths->size() > PolkitAuthorization::maxDetailBytes) {
        return std::nullopt;
    }
    return polkit::Details{{"paths", std::move(paths).value()}};
}

std::optional<polkit::Details> detailsOf(const Op::RepairPermissions& repair) {
    if (repair.path.find('\0') != std::string::npos ||
        repair.path.size() > PolkitAuthorization::maxDetailBytes ||
        !UnicodeText::isValidUtf8(repair.path)) {
        return std::nullopt;
    }
    return polkit::Details{{"path", repair.path}};
}

std::optional<polkit::Details> detailsOf(const Op::InstallSystemUpdates& /*update*/) {
    return polkit::Details{};
}

std::string whoAsked(const char* action, const Requester& requester) {
    return std::string(action) + " (uid=" + std::to_string(requester.uid) +
           ", pid=" + std::to_string(requester.pid) + ")";
}

LogPeer peerOf(const Requester& requester) {
    return LogPeer{requester.pid, requester.uid};
}

}  // namespace

bool PolkitAuthorization::permits(const PrivilegedOperation& operation,
                                  const Requester& requester) {
    const char* action = actionOf(operation);
    const auto details =
        std::visit([](const auto& payload) { return detailsOf(payload); }, operation.payload());
    if (!details) {
        log_.log(LogPriority::error,
                 "[TavelinHelper] Autorisierung nicht pr\u00fcfbar: " +
                     whoAsked(action, requester) + ": Pfade nicht als Details \u00fcbertragbar",
                 peerOf(requester));
        return false;
    }
    const polkit::Subject subject{requester.pidfd.get(), requester.pid, requester.startTime,
                                  requester.uid};
    const auto verdict = polkit::checkAuthorization(buses_, subject, action, *details, wait_);
    if (!verdict) {
        log_.log(LogPriority::error,
                 "[TavelinHelper] Autorisierung nicht pr\u00fcfbar: " +
                     whoAsked(action, requester) + ": " + verdict.error().describe(),
                 peerOf(requester));
        return false;
    }
    if (*verdict != polkit::Verdict::authorized) {
        log_.log(LogPriority::error,
                 "[TavelinHelper] Nicht autorisiert: " + whoAsked(action, requester),
                 peerOf(requester));
        return false;
    }
    return true;
}

std::unique_ptr<OperationAuthorization> systemAuthorization(LogSink& log) {
    switch (polkit::presence()) {
        case polkit::Presence::present:
            return std::make_unique<PolkitAuthorization>(log);
        case polkit::Presence::noSystemBus:
            log.log("[TavelinHelper] Autorisierung aus: kein Systembus");
            break;
        case polkit::Presence::notInstalled:
            log.log("[TavelinHelper] Autorisierung aus: polkit nicht installiert");
            break;
    }
    return std::make_unique<NoAuthorization>();
}

}  // namespace tavelin
