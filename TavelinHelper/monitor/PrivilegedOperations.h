#pragma once

#include <string>

#include "TavelinHelper/monitor/OperationAuthorization.h"
#include "TavelinHelper/monitor/UpdateInstallation.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

// The three privileged operations, reached only through perform(). Runs as root, on
// typed operations the monitor built itself from the front's fixed-layout messages.
class PrivilegedOperations {
  public:
    // The references must outlive the object.
    PrivilegedOperations(LogSink& log, const ClientFileSystem& fileSystem, UpdateInstaller& updates,
                         OperationAuthorization& authorization)
        : log_(log), fileSystem_(fileSystem), updates_(updates), authorization_(authorization) {}

    // Writes "[TavelinHelper] perform: " + the operation's audit description (a repaired
    // path cut as loggedPath does; notice, about the requester, as are the removal's lines
    // of what it removed), then asks `authorization` whether the requester may
    // have it done (if not: failure, 0 bytes, notAuthorizedMessage, nothing touched), then
    // runs it: removeSystemPaths,
    // repairPermissions or installSystemUpdates, each judging its paths by the removable-
    // path policy itself. Update runs happen one at a time (UpdateInstaller); a second
    // waits its turn.
    // Safe to call from several threads at once. Failures of an operation are its result;
    // only std::bad_alloc (and std::system_error when no thread can be started for an
    // update run) leave, with nothing half-done reported as done.
    [[nodiscard]] PrivilegedResult perform(const PrivilegedOperation& operation,
                                           const Requester& requester);

  private:
    LogSink& log_;
    const ClientFileSystem& fileSystem_;
    UpdateInstaller& updates_;
    OperationAuthorization& authorization_;
};

}  // namespace tavelin
