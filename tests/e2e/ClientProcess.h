#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "UniqueFd.h"

namespace tavelin::e2e {

// How a client process ended and what it printed.
struct ClientOutcome {
    pid_t pid = 0;
    int exitStatus = -1;  // the exit code, or 128 + signal number for a killed process
    std::string out;
    std::string err;
};

// One client program started by a test: a real process with its own executable, which is
// what the daemon's admission looks at. Stdout and stderr each go to a pipe (the programs
// used print far less than a pipe holds, so they never block on us); stdin is a pipe the
// test may write to or close. The environment is ours with TAVELIN_SERVICE_NAME set to
// `serviceName`, or removed when that is empty (the client's built-in name applies).
// Destroying an unfinished one kills and reaps it.
class ClientProcess {
public:
    // Fails (pid() == 0, whyNot set) when the program cannot be started.
    ClientProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& serviceName);
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;
    ClientProcess(ClientProcess&& other) noexcept;
    ClientProcess& operator=(ClientProcess&&) = delete;
    ~ClientProcess();

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] const std::string& whyNot() const noexcept { return whyNot_; }

    // Writes to the child's stdin (e.g. a go signal); closing it is closeInput().
    void writeInput(const std::string& bytes);
    void closeInput();
    void kill(int signalNumber);

    // Waits for the end (no time limit) and collects the output.
    [[nodiscard]] ClientOutcome finish();

private:
    pid_t pid_ = 0;
    std::string whyNot_;
    UniqueFd input_;
    UniqueFd out_;
    UniqueFd err_;
};

// Starts, waits, collects: for the simple one-call cases.
[[nodiscard]] ClientOutcome runClient(const std::string& program,
                                      const std::vector<std::string>& arguments,
                                      const std::string& serviceName);

}  // namespace tavelin::e2e
