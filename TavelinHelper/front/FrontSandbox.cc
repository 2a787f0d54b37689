#include "TavelinHelper/front/FrontSandbox.h"

#include <array>
#include <string_view>

#include "TavelinHelper/front/FrontLimits.h"
#include "TavelinPlatform/channel/ChannelMessages.h"

namespace tavelin {

namespace {

// Found by running the front through every test under strace -f -c, and kept short:
// each name here is one more thing a compromised front could do. The sandbox adds mmap,
// mprotect, openat and clone with their arguments checked (no executable memory, no
// writing opens, threads only). No accept4: the monitor accepts every connection.
constexpr std::array<std::string_view, 56> frontSystemCalls = {
    // memory, threads, signals, time
    "brk", "munmap", "mremap", "madvise", "futex", "set_robust_list", "rseq", "rt_sigaction",
    "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "exit", "exit_group", "gettid", "getpid",
    "tgkill", "sched_yield", "sched_getaffinity", "clock_gettime", "clock_nanosleep", "nanosleep",
    "restart_syscall", "getrandom",
    // descriptors
    "read", "write", "readv", "writev", "pread64", "close", "fstat", "newfstatat", "statx", "lseek",
    "fcntl", "dup",
    // the event loop
    "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "eventfd2", "timerfd_create",
    "timerfd_settime",
    // connections and the monitor channel
    "recvmsg", "sendmsg", "recvfrom", "sendto", "getsockopt", "setsockopt", "shutdown",
    "getsockname", "getpeername",
    // pinning a peer on kernels without pidfs (a pidfd grants no access by itself), and
    // asking whether it still runs
    "pidfd_open", "poll", "ppoll",
    // sealed blobs for the monitor
    "memfd_create", "fstatfs"};

}  // namespace

SandboxSettings frontSandbox(std::string emptyRoot, uid_t uid, gid_t gid) {
    SandboxSettings settings;
    settings.emptyRoot = std::move(emptyRoot);
    settings.uid = uid;
    settings.gid = gid;
    settings.maxOpenFiles = 2 * FrontLimits{}.maxConnections + 256;
    // The front writes no file but the sealed blobs it hands the monitor.
    settings.maxFileSize = channel::maxPathBlobSize;
    settings.allowedSystemCalls = frontSystemCalls;
    return settings;
}

}  // namespace tavelin
