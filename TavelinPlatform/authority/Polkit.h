#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TavelinPlatform/authority/SystemBusPool.h"
#include "TavelinPlatform/core/SystemError.h"

namespace tavelin::polkit {

// Whether there is an authority to ask, as the daemon finds it at start.
enum class Presence {
    present,       // the authority's name is owned or activatable on the system bus
    noSystemBus,   // nothing answers on the system bus socket
    notInstalled,  // a bus, but no authority on it
};

[[nodiscard]] Presence presence();

// The process asking, as the authority identifies it: by its pidfd (newer authorities),
// and by pid with its start time (guarding against a reused pid) and uid (older ones).
struct Subject {
    int pidfd = -1;  // borrowed; must stay open for the call
    pid_t pid = 0;
    std::uint64_t startTime = 0;  // clock ticks after boot, as /proc/<pid>/stat field 22
    uid_t uid = 0;
};

enum class Verdict {
    authorized,
    notAuthorized,  // refused outright, or only after an authentication that did not happen
    dismissed,      // the user dismissed the authentication dialog
    timedOut,       // no answer within the deadline; the check was cancelled
};

using Details = std::vector<std::pair<std::string, std::string>>;

// Asks the authority whether `subject` may do `actionId`, allowing an authentication
// agent to ask the user. Blocks the calling thread for at most `deadline` (plus a short
// cancellation). Asks on an idle connection of `buses`, else on a new one, so calls on
// different threads never wait for each other; a kept connection that the bus closed
// meanwhile (it restarted) is replaced once by a new one, within the same deadline. The
// connection goes back to `buses` only when the check got its answer or was cancelled.
// Fails when the bus or the authority cannot be reached or answers with an error: the
// caller must then refuse.
[[nodiscard]] Expected<Verdict, SystemError> checkAuthorization(SystemBusPool& buses,
                                                                const Subject& subject,
                                                                std::string_view actionId,
                                                                const Details& details,
                                                                std::chrono::milliseconds deadline);

}  // namespace tavelin::polkit
