#include "TavelinPlatform/sandbox/Sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <tuple>

namespace tavelin {

namespace {

struct SeccompDeleter {
    void operator()(void* context) const noexcept { seccomp_release(context); }
};
using SeccompContext = std::unique_ptr<void, SeccompDeleter>;

#ifdef TAVELIN_SANITIZER_BUILD
// A sanitizer build's runtime makes calls of its own (signal stacks for its threads, its
// reports); tests run those builds, so their filters allow these too. Release builds never
// see this list.
constexpr std::string_view sanitizerRuntimeCalls[] = {"sigaltstack", "pipe2", "prlimit64",
                                                      "gettimeofday"};
#endif

Status<SystemError> lockIntoEmptyRoot(const SandboxSettings& settings) {
    if (::chroot(settings.emptyRoot.c_str()) != 0) {
        return lastSystemError("chroot", settings.emptyRoot);
    }
    if (::chdir("/") != 0) {
        return lastSystemError("chdir /");
    }
    return {};
}

Status<SystemError> becomeAccount(const SandboxSettings& settings) {
    if (::setgroups(0, nullptr) != 0) {
        return lastSystemError("setgroups");
    }
    if (::setresgid(settings.gid, settings.gid, settings.gid) != 0) {
        return lastSystemError("setresgid");
    }
    if (::setresuid(settings.uid, settings.uid, settings.uid) != 0) {
        return lastSystemError("setresuid");
    }
    if (settings.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) {
        return systemError(EPERM, "root could be regained");
    }
    return {};
}

// Clears every capability set, for a process that kept some (an unprivileged one started
// with file capabilities, say); a root process dropping its uid has lost them already.
Status<SystemError> dropCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, data) != 0) {
        return lastSystemError("capset");
    }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return lastSystemError("prctl(PR_CAP_AMBIENT_CLEAR_ALL)");
    }
    return {};
}

Status<SystemError> limit(int resource, rlim_t value, const char* name) {
    if (value == RLIM_INFINITY && resource == RLIMIT_AS) {
        return {};
    }
    rlimit limits{value, value};
    if (::setrlimit(resource, &limits) == 0) {
        return {};
    }
    // Raising a hard limit takes CAP_SYS_RESOURCE, which even root may lack (in a
    // container): then the process gets at most the hard limit it has.
    rlimit current{};
    if (errno == EPERM && ::getrlimit(resource, &current) == 0 && current.rlim_max < value) {
        limits = {current.rlim_max, current.rlim_max};
        if (::setrlimit(resource, &limits) == 0) {
            return {};
        }
    }
    return lastSystemError("setrlimit", name);
}

Status<SystemError> limitResources(const SandboxSettings& settings) {
    for (const auto& [resource, value, name] :
         {std::tuple{RLIMIT_NOFILE, settings.maxOpenFiles, "RLIMIT_NOFILE"},
          std::tuple{RLIMIT_AS, settings.maxAddressSpace, "RLIMIT_AS"},
          std::tuple{RLIMIT_FSIZE, settings.maxFileSize, "RLIMIT_FSIZE"},
          std::tuple{RLIMIT_CORE, rlim_t{0}, "RLIMIT_CORE"}}) {
        if (auto limited = limit(resource, value, name); !limited) {
            return limited;
        }
    }
    return {};
}

Status<SystemError> addRule(void* context, std::uint32_t action, int number, unsigned count,
                            const scmp_arg_cmp* comparisons, std::string_view name) {
    const int error = seccomp_rule_add_array(context, action, number, count, comparisons);
    if (error != 0) {
        return systemError(-error, "seccomp_rule_add", name);
    }
    return {};
}

// Calls allowed only with some arguments (below); a list that allows one of them
// outright would undo that.
constexpr std::string_view argumentCheckedCalls[] = {"clone", "clone3", "openat", "mmap",
                                                     "mprotect"};

Status<SystemError> allowByName(void* context, std::string_view name) {
    const int number = seccomp_syscall_resolve_name(std::string(name).c_str());
    if (number == __NR_SCMP_ERROR) {
        return systemError(EINVAL, "unknown system call", name);
    }
    return addRule(context, SCMP_ACT_ALLOW, number, 0, nullptr, name);
}

// Threads but no processes; files opened for reading only (O_RDONLY|O_TRUNC would still
// truncate); memory that is never executable, so no code can be brought in.
Status<SystemError> addArgumentRules(void* context) {
    constexpr scmp_datum_t writingOpen =
        O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
    const scmp_arg_cmp thread[] = {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)};
    const scmp_arg_cmp readOnly[] = {SCMP_A2(SCMP_CMP_MASKED_EQ, writingOpen, 0)};
    const scmp_arg_cmp notExecutable[] = {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)};
    for (auto added :
         {addRule(context, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, thread, "clone"),
          addRule(context, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0, nullptr, "clone3"),
          addRule(context, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, readOnly, "openat"),
          addRule(context, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, notExecutable, "mmap"),
          addRule(context, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, notExecutable, "mprotect")}) {
        if (!added) {
            return added;
        }
    }
    return {};
}

Status<SystemError> installFilter(std::span<const std::string_view> allowed) {
    SeccompContext context(seccomp_init(SCMP_ACT_KILL_PROCESS));
    if (!context) {
        return systemError(ENOMEM, "seccomp_init");
    }
    for (const std::string_view name : allowed) {
        if (std::find(std::begin(argumentCheckedCalls), std::end(argumentCheckedCalls), name) !=
            std::end(argumentCheckedCalls)) {
            return systemError(EINVAL, "system call allowed only with checked arguments", name);
        }
        if (auto added = allowByName(context.get(), name); !added) {
            return added;
        }
    }
#ifdef TAVELIN_SANITIZER_BUILD
    for (const std::string_view name : sanitizerRuntimeCalls) {
        if (auto added = allowByName(context.get(), name); !added) {
            return added;
        }
    }
#endif
    if (auto added = addArgumentRules(context.get()); !added) {
        return added;
    }
    const int error = seccomp_load(context.get());
    if (error != 0) {
        return systemError(-error, "seccomp_load");
    }
    return {};
}

}  // namespace

Status<SystemError> enterSandbox(const SandboxSettings& settings) {
    // Limits first, while root may still raise a hard limit (the descriptor limit above
    // the default, say).
    if (auto limited = limitResources(settings); !limited) {
        return limited;
    }
    if (::geteuid() == 0) {
        if (auto locked = lockIntoEmptyRoot(settings); !locked) {
            return locked;
        }
        if (auto dropped = becomeAccount(settings); !dropped) {
            return dropped;
        }
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return lastSystemError("prctl(PR_SET_NO_NEW_PRIVS)");
    }
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        return lastSystemError("prctl(PR_SET_DUMPABLE)");
    }
    if (auto dropped = dropCapabilities(); !dropped) {
        return dropped;
    }
    return installFilter(settings.allowedSystemCalls);
}

}  // namespace tavelin
