#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "UniqueFd.h"

namespace tavelin::e2e {

// How a client process ended (exit code, or 128 + signal) and what it printed.
struct ClientOutcome {
    pid_t pid = 0;
    int exitStatus = -1;
    std::string out;
    std::string err;
};

// A client program started with stdout, stderr and stdin on pipes and TAVELIN_SERVICE_NAME
// set to `serviceName` (removed when empty). Destroying an unfinished one kills and reaps it.
class ClientProcess {
public:
    ClientProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& serviceName);
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;
    ClientProcess(ClientProcess&& other) noexcept;
    ClientProcess& operator=(ClientProcess&&) = delete;
    ~ClientProcess();

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] const std::string& whyNot() const noexcept { return whyNot_; }
    void closeInput() { input_.reset(); }
    void kill(int signalNumber) const;
    // Waits for the end (no time limit) and collects the output.
    [[nodiscard]] ClientOutcome finish();

private:
    pid_t pid_ = 0;
    std::string whyNot_;
    UniqueFd input_;
    UniqueFd out_;
    UniqueFd err_;
};

[[nodiscard]] ClientOutcome runClient(const std::string& program,
                                      const std::vector<std::string>& arguments,
                                      const std::string& serviceName);

}  // namespace tavelin::e2e
