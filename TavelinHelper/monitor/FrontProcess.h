#pragma once

#include <sys/types.h>

#include <string>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin {

// How the monitor starts the front.
struct FrontLaunch {
    UniqueFd executable;  // tavelin-helper-front, opened and checked by openFrontExecutable
    uid_t uid = 0;        // the account the front becomes when the monitor runs as root
    gid_t gid = 0;
    std::string emptyRoot;  // the empty directory it is locked into then
    // JOURNAL_STREAM for the front's environment when our stderr (which it inherits) is
    // the journal; empty: none.
    std::string journalStream;
};

// Opens the front's executable beside this daemon's own (the directory of
// /proc/self/exe) and checks that only root or this daemon's own user could have put it
// there: owned by root or by our effective uid, and writable by nobody else. The front is
// later started from this very file, whatever happens to its path meanwhile.
[[nodiscard]] Expected<UniqueFd, SystemError> openFrontExecutable();

// The account (TAVELIN_FRONT_USER, fixed when the daemon is built) and empty root
// (TAVELIN_FRONT_ROOT) the front runs as when the monitor runs as root, the empty root
// created (root-owned, mode 0555) when missing and refused when it is not empty, not
// root's or writable by others. Unprivileged, the monitor keeps its own account for the
// front and there is no empty root.
[[nodiscard]] Expected<FrontLaunch, SystemError> prepareFrontLaunch(UniqueFd executable);

// Starts the front with the listening socket as descriptor 3, `channelEnd` as 4, the
// trust anchor file as 5 and its own executable as 6 (it is started through that), nothing
// else open, an environment of JOURNAL_STREAM alone (or none), and the arguments "--account UID GID
// --root DIR".
[[nodiscard]] Expected<ChildProcess, SystemError> startFront(const FrontLaunch& launch,
                                                             int listeningSocket, int channelEnd,
                                                             int anchorFile);

}  // namespace tavelin
