#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SystemError.h"
#include "UniqueFd.h"

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
// Destroying a ChildProcess that has not been waited for kills the child (SIGKILL) and
// reaps it; this is the path for a run abandoned by an error, never the normal one.
// Relies on nobody else reaping our children (SIGCHLD is not set to SIG_IGN and nobody
// calls waitpid(-1)): until we reap the child its pid cannot be reused, so the kill can
// never hit another process.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}
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

  private:
    void killAndReap() noexcept;

    pid_t pid_ = -1;
    std::optional<ChildTermination> termination_;
};

// A started child together with the read end of the one pipe that carries both its
// standard output and its standard error.
struct ChildWithOutput {
    ChildProcess child;
    UniqueFd output;  // O_CLOEXEC, blocking; end of file once every writer has closed it
};

// Starts `program` (a path, not searched in PATH) with argv[0] = `program` followed by
// `arguments`. The child inherits the caller's environment, working directory, standard
// input and process attributes; its signal mask is cleared and every signal disposition
// is reset to the default, so an ignored SIGPIPE in the daemon does not carry over.
// Standard output and standard error are both the write end of one pipe, so the two
// streams arrive mixed in the order the child writes them. No other descriptor of the
// caller reaches the child: everything from 3 upwards is closed in the child before exec.
//
// Fails with the errno of the failed step: for a missing program ENOENT, for a
// non-executable one EACCES, for a file the kernel cannot execute ENOEXEC. The caller's
// end of the pipe holds no write end, so reading it reaches end of file once the child
// (and anything it passed the pipe on to) has closed it.
[[nodiscard]] Expected<ChildWithOutput, SystemError> spawnWithCombinedOutput(
    const std::string& program, const std::vector<std::string>& arguments);

}  // namespace tavelin
