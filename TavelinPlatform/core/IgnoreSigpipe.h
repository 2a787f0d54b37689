#pragma once

#include <signal.h>

namespace tavelin {

// A peer that vanishes mid-write must never end a process of ours. Every send already
// uses MSG_NOSIGNAL; ignoring SIGPIPE is the second line of defence.
inline void ignoreSigpipe() noexcept {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace tavelin
