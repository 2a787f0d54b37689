#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "RetryOnInterrupt.h"

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

// Both output streams onto the pipe, then nothing above 2 survives into the child, even a
// descriptor another thread opened without O_CLOEXEC.
[[nodiscard]] int describeDescriptors(SpawnFileActions& actions, int writeEnd) {
    if (actions.initError() != 0) {
        return actions.initError();
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

// A clean signal state: the daemon's mask and ignored signals are its own business.
[[nodiscard]] int describeSignals(SpawnAttributes& attributes) {
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
    return posix_spawnattr_setflags(attributes.get(),
                                    POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

[[nodiscard]] ChildTermination terminationFrom(int waitStatus) noexcept {
    if (WIFSIGNALED(waitStatus)) {
        return {true, WTERMSIG(waitStatus)};
    }
    return {false, WEXITSTATUS(waitStatus)};
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), termination_(other.termination_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        killAndReap();
        pid_ = std::exchange(other.pid_, -1);
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

void ChildProcess::killAndReap() noexcept {
    if (pid_ <= 0 || termination_) {
        return;
    }
    // Still unreaped, so the pid is still this child's (a zombie at worst).
    ::kill(pid_, SIGKILL);
    int waitStatus = 0;
    static_cast<void>(retryOnInterrupt([&] { return ::waitpid(pid_, &waitStatus, 0); }));
    pid_ = -1;
}

Expected<ChildWithOutput, SystemError> spawnWithCombinedOutput(
    const std::string& program, const std::vector<std::string>& arguments) {
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
    if (const int e = describeDescriptors(actions, writeEnd.get()); e != 0) {
        return systemError(e, "posix_spawn_file_actions");
    }
    SpawnAttributes attributes;
    if (const int e = describeSignals(attributes); e != 0) {
        return systemError(e, "posix_spawnattr");
    }

    // posix_spawn takes non-const strings; these copies live until it returns.
    std::vector<std::string> argumentCopies;
    argumentCopies.reserve(arguments.size() + 1);
    argumentCopies.push_back(program);
    argumentCopies.insert(argumentCopies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentCopies.size() + 1);
    for (auto& argument : argumentCopies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    // glibc reports a failed exec (missing file, no permission) as this return value.
    if (const int e = ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(),
                                    argv.data(), environ);
        e != 0) {
        return systemError(e, program);
    }
    // writeEnd closes on return: from now on only the child holds the pipe open.
    return ChildWithOutput{ChildProcess(pid), std::move(readEnd)};
}

}  // namespace tavelin
