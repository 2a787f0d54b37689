#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "TavelinPlatform/authority/SystemBusPool.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/core/SharedFd.h"
#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin {

// The process an operation is done for: the admitted peer, as the monitor pinned it.
struct Requester {
    SharedFd pidfd;  // the monitor's own, open for the whole operation
    pid_t pid = 0;
    uid_t uid = 0;
    std::uint64_t startTime = 0;  // /proc/<pid>/stat field 22
};

// Whether the requester's user may have the operation done. Asked after the audit line,
// before the operation acts; refusals are logged by the authorization itself.
class OperationAuthorization {
  public:
    OperationAuthorization() = default;
    OperationAuthorization(const OperationAuthorization&) = delete;
    OperationAuthorization& operator=(const OperationAuthorization&) = delete;
    virtual ~OperationAuthorization() = default;

    // Safe to call from several threads at once; may block the calling thread (an
    // authentication dialog). May throw std::bad_alloc, having permitted nothing.
    [[nodiscard]] virtual bool permits(const PrivilegedOperation& operation,
                                       const Requester& requester) = 0;
};

// Every admitted client may do every operation: where the system has no authority to ask.
class NoAuthorization final : public OperationAuthorization {
  public:
    bool permits(const PrivilegedOperation&, const Requester&) override { return true; }
};

// One polkit action per operation, asked of the system's authority for the requester's
// process, the paths as details a site rule can read: "paths" (removal; a JSON array of
// strings) and "path" (repair). Anything but a clear yes refuses the operation: no,
// dismissed, no answer in time, an error on the way, details too long to send. Checks run
// on system-bus connections the object keeps between them (polkit::SystemBusPool).
class PolkitAuthorization final : public OperationAuthorization {
  public:
    static constexpr const char* removeAction = "de.morvane.tavelin.remove-system-paths";
    static constexpr const char* repairAction = "de.morvane.tavelin.repair-permissions";
    static constexpr const char* updateAction = "de.morvane.tavelin.install-system-updates";
    // Long enough for a user to read the dialog and type a password; a request held longer
    // is refused, so that a dialog nobody answers holds the operation no longer.
    static constexpr std::chrono::minutes maxAuthorizationWait{2};
    // The most detail bytes sent with one check; a longer path list is refused unasked
    // (the authority and its rules engine are not fed tens of megabytes).
    static constexpr std::size_t maxDetailBytes = std::size_t{1024} * 1024;

    // `log` must outlive the object. `wait` bounds each check (tests shorten it).
    explicit PolkitAuthorization(LogSink& log,
                                 std::chrono::milliseconds wait = maxAuthorizationWait)
        : log_(log), wait_(wait) {}

    bool permits(const PrivilegedOperation& operation, const Requester& requester) override;

  private:
    LogSink& log_;
    std::chrono::milliseconds wait_;
    polkit::SystemBusPool buses_;
};

// The authority at start: PolkitAuthorization when polkit is there to ask, else
// NoAuthorization and one line saying that authorization is off and why.
[[nodiscard]] std::unique_ptr<OperationAuthorization> systemAuthorization(LogSink& log);

}  // namespace tavelin
