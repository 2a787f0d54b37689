#pragma once

#include <sys/types.h>

#include <string>

#include "TavelinPlatform/sandbox/Sandbox.h"

namespace tavelin {

// The confinement of the front: the system calls its event loop, work threads and C
// library make, and nothing else (no socket, connect, open for writing, exec or fork);
// descriptors for twice its connections (each connection holds a socket and its peer's
// pidfd). Its threads are bounded by its work pool (front::workThreads), not by a process
// limit, which would count every task of its account. Started as root, it is locked into
// `emptyRoot` as `uid`/`gid`; started unprivileged, it keeps its account.
[[nodiscard]] SandboxSettings frontSandbox(std::string emptyRoot, uid_t uid, gid_t gid);

}  // namespace tavelin
