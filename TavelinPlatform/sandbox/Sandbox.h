#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <span>
#include <string>
#include <string_view>

#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {

// What a process that talks to the world may keep once it has set itself up.
struct SandboxSettings {
    // For a process started as root: the empty directory it is locked into (chroot) and
    // the account it becomes, with no supplementary groups. A process that already runs
    // unprivileged keeps its account and file system view: it cannot lock itself in.
    std::string emptyRoot;
    uid_t uid = 0;
    gid_t gid = 0;
    // Resource limits, soft and hard alike (RLIMIT_NOFILE, RLIMIT_FSIZE, RLIMIT_AS; an
    // address-space limit of RLIM_INFINITY leaves it as it is). No core is dumped
    // (RLIMIT_CORE 0). No process limit: RLIMIT_NPROC counts every task of the account,
    // system-wide, so others sharing it could keep the process from starting a thread; the
    // filter below keeps it from forking, and it bounds its own threads.
    rlim_t maxOpenFiles = 1024;
    rlim_t maxFileSize = 0;  // the largest file (memory files included) it may write
    rlim_t maxAddressSpace = RLIM_INFINITY;
    // The system calls the process may make from then on (names as libseccomp knows them);
    // any other kills the whole process (SIGSYS). Beyond the list, with their arguments
    // checked (the list must not name them): clone only for threads (CLONE_THREAD set),
    // clone3 fails with ENOSYS so that the C library falls back to clone, openat only
    // without O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND or O_TMPFILE, mmap and mprotect
    // only without PROT_EXEC.
    std::span<const std::string_view> allowedSystemCalls;
};

// Enters the sandbox, in this order: the resource limits (a process that may not raise
// its hard limits gets at most those); chroot and chdir into emptyRoot, drop supplementary groups,
// gid and uid (real, effective and saved) when running as root, and check that root cannot be
// regained; then no_new_privs, not dumpable, no capabilities, and last the system call
// filter. Fails with the first step that failed; the
// caller must then exit, since the process is half-confined.
[[nodiscard]] Status<SystemError> enterSandbox(const SandboxSettings& settings);

}  // namespace tavelin
