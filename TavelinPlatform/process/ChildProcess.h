#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// How a child process ended.
struct ChildTermination {
    bool signaled = false;  // true: ended by an uncaught signal; false: called exit
    int code = 0;           // the exit code (0..255), or the number of the ending signal

    // The single status handed on to whoever judges the run: the exit code for a normal
    // exit, the signal number for a child ended by a signal (SIGKILL gives 9). A signal
    // number is never 0, so a killed child never reads as success. The two cases can only
    // be told apart through `signaled`.
    [[nodiscard]] std::int32_t status() const noexcept { return code; }

    friend bool operator==(const ChildTermination&, const ChildTermination&) = default;
};

// Owns one started child process and makes sure it never outlives its owner as a zombie.
// Move-only.
//
// Destroying a ChildProcess that has not been waited for kills the child (SIGKILL), or its
// whole process group when it leads one, and reaps it; this is the path for a run
// abandoned by an error, never the normal one. Relies on nobody else reaping our children
// (SIGCHLD is not set to SIG_IGN and nobody calls waitpid(-1)): until we reap the child its
// pid cannot be reused, neither as a process nor as a process group id, so a kill can
// never hit another process.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}
    // `pidfd` refers to the child (it may be empty); `leadsProcessGroup` says the child was
    // started as the leader of a process group of its own (SpawnOptions::ownProcessGroup).
    ChildProcess(pid_t pid, UniqueFd pidfd, bool leadsProcessGroup) noexcept
        : pid_(pid), pidfd_(std::move(pidfd)), leadsProcessGroup_(leadsProcessGroup) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }

    // Blocks until the child has ended (no time limit), retrying on EINTR, and reaps it.
    // Once waited, later calls return the same termination at once. Fails only when the
    // child was reaped by someone else (ECHILD).
    [[nodiscard]] Expected<ChildTermination, SystemError> wait();

    // Waits until the child has ended or `deadline` has passed, whichever comes first,
    // without reaping it: true once it has ended (wait() then returns at once), false at
    // the deadline, and false as well as soon as `giveUp` (a descriptor, or -1 for none)
    // is readable or hung up while the child still runs. Retries on EINTR. Fails when no
    // pidfd could be opened for the child or poll fails; once reaped, returns true at once.
    [[nodiscard]] Expected<bool, SystemError> awaitEnd(
        std::chrono::steady_clock::time_point deadline, int giveUp = -1);

    // Sends SIGKILL to the child, or to every process of its group when it leads one, and
    // returns without waiting. Does nothing once the child has been reaped: its pid may
    // then belong to someone else.
    void kill() noexcept;

  private:
    void killAndReap() noexcept;

    pid_t pid_ = -1;
    UniqueFd pidfd_;  // readable once the child has ended; opened on first use if empty
    bool leadsProcessGroup_ = false;
    std::optional<ChildTermination> termination_;
};

// A started child together with the read end of the one pipe that carries both its
// standard output and its standard error.
struct ChildWithOutput {
    ChildProcess child;
    UniqueFd output;  // O_CLOEXEC, blocking; end of file once every writer has closed it
};

// What a child starts with besides its program and arguments. The defaults keep the
// caller's environment, working directory, standard input and process group.
struct SpawnOptions {
    // The child's whole environment, "NAME=value" each; nullopt passes on the caller's.
    std::optional<std::vector<std::string>> environment;
    // The directory the child starts in; empty keeps the caller's.
    std::string workingDirectory;
    // Standard input read from /dev/null instead of the caller's.
    bool standardInputFromNull = false;
    // A process group of its own with the child as leader, so that ChildProcess::kill
    // reaches everything the child started that stayed in its group.
    bool ownProcessGroup = false;
};

// Starts `program` (a path, not searched in PATH) with argv[0] = `program` followed by
// `arguments`, as `options` say, and opens a pidfd for it. Whatever `options` leave alone
// the child inherits: environment, working directory, standard input, process group, umask
// and resource limits. Its signal mask is cleared and every signal disposition is reset to
// the default, so an ignored SIGPIPE in the daemon does not carry over. Standard output
// and standard error are both the write end of one pipe, so the two streams arrive mixed
// in the order the child writes them. No other descriptor of the caller reaches the child:
// everything from 3 upwards is closed in the child before exec.
//
// Fails with the errno of the failed step: for a missing program ENOENT, for a
// non-executable one EACCES, for a file the kernel cannot execute ENOEXEC, for a missing
// working directory ENOENT as well. A child that started but could not be given a pidfd
// is killed and reaped, and the pidfd_open error returned. The caller's end of the pipe
// holds no write end, so reading it reaches end of file once the child (and anything it
// passed the pipe on to) has closed it.
[[nodiscard]] Expected<ChildWithOutput, SystemError> spawnWithCombinedOutput(
    const std::string& program, const std::vector<std::string>& arguments,
    const SpawnOptions& options = {});

}  // namespace tavelin
