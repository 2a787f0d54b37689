#include "TavelinPlatform/process/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/process/Pidfd.h"

namespace tavelin {

namespace {

// posix_spawn file actions and attributes, destroyed on every path.
class SpawnFileActions {
  public:
    SpawnFileActions() noexcept : error_(posix_spawn_file_actions_init(&actions_)) {}
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    ~SpawnFileActions() {
        if (error_ == 0) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    [[nodiscard]] int initError() const noexcept { return error_; }
    [[nodiscard]] posix_spawn_file_actions_t* get() noexcept { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
    int error_;
};

class SpawnAttributes {
  public:
    SpawnAttributes() noexcept : error_(posix_spawnattr_init(&attributes_)) {}
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() {
        if (error_ == 0) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    [[nodiscard]] int initError() const noexcept { return error_; }
    [[nodiscard]] posix_spawnattr_t* get() noexcept { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
    int error_;
};

// Moves `fd` to a number of 3 or more, keeping O_CLOEXEC. If the daemon was started with
// one of 0..2 closed, a new pipe can land there, and dup2 onto 1 or 2 in the child would
// then clash with the pipe itself.
[[nodiscard]] Status<SystemError> moveAboveStandardStreams(UniqueFd& fd) {
    if (fd.get() > STDERR_FILENO) {
        return {};
    }
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        return lastSystemError("fcntl");
    }
    fd.reset(moved);
    return {};
}

constexpr const char* nullDevice = "/dev/null";

// Both output streams onto the pipe, standard input from /dev/null if asked, then nothing
// above 2 survives into the child, even a descriptor another thread opened without
// O_CLOEXEC. The working directory changes first, so a missing one fails the start before
// anything else is opened.
[[nodiscard]] int describeDescriptors(SpawnFileActions& actions, int writeEnd,
                                      const SpawnOptions& options) {
    if (actions.initError() != 0) {
        return actions.initError();
    }
    if (!options.workingDirectory.empty()) {
        if (const int e = posix_spawn_file_actions_addchdir_np(actions.get(),
                                                               options.workingDirectory.c_str());
            e != 0) {
            return e;
        }
    }
    if (options.standardInputFromNull) {
        if (const int e = posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, nullDevice,
                                                           O_RDONLY, 0);
            e != 0) {
            return e;
        }
    }
    if (const int e = posix_spawn_file_actions_adddup2(actions.get(), writeEnd, STDOUT_FILENO);
        e != 0) {
        return e;
    }
    if (const int e = posix_spawn_file_actions_adddup2(actions.get(), writeEnd, STDERR_FILENO);
        e != 0) {
        return e;
    }
    return posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
}

// A clean signal state: the daemon's mask and ignored signals are its own business. A
// process group of its own if asked (process group 0: the child's own pid).
[[nodiscard]] int describeAttributes(SpawnAttributes& attributes, const SpawnOptions& options) {
    if (attributes.initError() != 0) {
        return attributes.initError();
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (const int e = posix_spawnattr_setsigmask(attributes.get(), &none); e != 0) {
        return e;
    }
    if (const int e = posix_spawnattr_setsigdefault(attributes.get(), &all); e != 0) {
        return e;
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        if (const int e = posix_spawnattr_setpgroup(attributes.get(), 0); e != 0) {
            return e;
        }
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    return posix_spawnattr_setflags(attributes.get(), flags);
}

// posix_spawn takes arrays of non-const strings ending in nullptr; these point into
// `strings`, which must outlive the array.
[[nodiscard]] std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& string : strings) {
        pointers.push_back(string.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The poll timeout that reaches `deadline` from now: rounded up, so the deadline has
// passed when poll times out, and at most INT_MAX milliseconds (a longer wait is polled
// again).
[[nodiscard]] int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(remaining.count(), 0, INT_MAX));
}

[[nodiscard]] ChildTermination terminationFrom(int waitStatus) noexcept {
    if (WIFSIGNALED(waitStatus)) {
        return {true, WTERMSIG(waitStatus)};
    }
    return {false, WEXITSTATUS(waitStatus)};
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      leadsProcessGroup_(other.leadsProcessGroup_),
      termination_(other.termination_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        killAndReap();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
        leadsProcessGroup_ = other.leadsProcessGroup_;
        termination_ = other.termination_;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    killAndReap();
}

Expected<ChildTermination, SystemError> ChildProcess::wait() {
    if (termination_) {
        return *termination_;
    }
    int waitStatus = 0;
    const pid_t reaped = retryOnInterrupt([&] { return ::waitpid(pid_, &waitStatus, 0); });
    if (reaped < 0) {
        auto error = lastSystemError("waitpid");
        pid_ = -1;  // not ours any more: never signal that number again
        return error;
    }
    termination_ = terminationFrom(waitStatus);
    return *termination_;
}

Expected<bool, SystemError> ChildProcess::awaitEnd(std::chrono::steady_clock::time_point deadline,
                                                   int giveUp) {
    if (termination_ || pid_ <= 0) {
        return true;
    }
    if (!pidfd_) {
        auto opened = openPidfd(pid_);
        if (!opened) {
            return Unexpected(std::move(opened).error());
        }
        pidfd_ = std::move(opened).value();
    }
    for (;;) {
        // poll ignores an entry with a negative descriptor: without `giveUp` only the
        // child counts.
        pollfd watched[2] = {{pidfd_.get(), POLLIN, 0}, {giveUp, POLLIN, 0}};
        const int timeout = millisecondsUntil(deadline);
        const int ready = ::poll(watched, 2, timeout);
        if (ready > 0) {
            return watched[0].revents != 0;
        }
        if (ready < 0 && errno != EINTR) {
            return lastSystemError("poll");
        }
        if (ready == 0 && timeout == 0) {
            return false;
        }
        // Interrupted, or a wait longer than one poll can take: go on to the deadline.
    }
}

void ChildProcess::kill() noexcept {
    if (pid_ <= 0 || termination_) {
        return;
    }
    // Still unreaped, so the pid is still this child's (a zombie at worst), and as long as
    // the leader of a group is unreaped its pid cannot become anyone else's group id.
    ::kill(leadsProcessGroup_ ? -pid_ : pid_, SIGKILL);
}

void ChildProcess::killAndReap() noexcept {
    if (pid_ <= 0 || termination_) {
        return;
    }
    kill();
    int waitStatus = 0;
    static_cast<void>(retryOnInterrupt([&] { return ::waitpid(pid_, &waitStatus, 0); }));
    pid_ = -1;
}

Expected<ChildWithOutput, SystemError> spawnWithCombinedOutput(
    const std::string& program, const std::vector<std::string>& arguments,
    const SpawnOptions& options) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return lastSystemError("pipe2");
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    for (UniqueFd* end : {&readEnd, &writeEnd}) {
        if (auto moved = moveAboveStandardStreams(*end); !moved) {
            return Unexpected(std::move(moved).error());
        }
    }

    SpawnFileActions actions;
    if (const int e = describeDescriptors(actions, writeEnd.get(), options); e != 0) {
        return systemError(e, "posix_spawn_file_actions");
    }
    SpawnAttributes attributes;
    if (const int e = describeAttributes(attributes, options); e != 0) {
        return systemError(e, "posix_spawnattr");
    }

    // posix_spawn takes non-const strings; these copies live until it returns.
    std::vector<std::string> argumentCopies;
    argumentCopies.reserve(arguments.size() + 1);
    argumentCopies.push_back(program);
    argumentCopies.insert(argumentCopies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = nullTerminated(argumentCopies);
    std::vector<std::string> environmentCopies;
    std::vector<char*> environment;
    if (options.environment) {
        environmentCopies = *options.environment;
        environment = nullTerminated(environmentCopies);
    }

    pid_t pid = -1;
    // glibc reports a failed exec (missing file, no permission) as this return value.
    if (const int e =
            ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                          options.environment ? environment.data() : environ);
        e != 0) {
        return systemError(e, program);
    }
    auto pidfd = openPidfd(pid);
    ChildProcess child(pid, pidfd ? std::move(*pidfd) : UniqueFd(), options.ownProcessGroup);
    if (!pidfd) {
        return Unexpected(std::move(pidfd).error());  // `child` kills and reaps it
    }
    // writeEnd closes on return: from now on only the child holds the pipe open.
    return ChildWithOutput{std::move(child), std::move(readEnd)};
}

}  // namespace tavelin
