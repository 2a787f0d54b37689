#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "UniqueFd.h"

namespace tavelin::e2e {

// The real daemon binary, started the way a service manager starts it: the test binds
// and listens on an abstract name of its choosing, and the daemon receives that socket as
// descriptor 3 with LISTEN_FDS=1 and LISTEN_PID set to the daemon's own pid. The daemon's
// stderr (its log) arrives through a pipe and is collected line by line.
//
// Destroying it kills the daemon (SIGKILL; it has no shutdown path) and reaps it.
class DaemonProcess {
public:
    // Starts `daemonPath` listening on `serviceName` and waits for its start line.
    // Returns nothing (and has written a reason to `whyNot`) when the daemon could not be
    // started or did not announce itself within the start-up limit.
    [[nodiscard]] static std::unique_ptr<DaemonProcess> start(const std::string& daemonPath,
                                                              const std::string& serviceName,
                                                              std::string& whyNot);
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;
    ~DaemonProcess();

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] const std::string& serviceName() const noexcept { return serviceName_; }

    // Every complete log line so far, without its line feed.
    [[nodiscard]] std::vector<std::string> lines() const;
    // Blocks until the log holds at least `count` lines matching `matches` (or the
    // generous safety limit passes, which a test treats as failure). Returns the lines.
    std::vector<std::string> waitForLines(const std::function<bool(const std::string&)>& matches,
                                          std::size_t count = 1) const;
    // True while the daemon process has not ended.
    [[nodiscard]] bool isRunning() const;

    // How long waitForLines waits at most before giving up; never reached when all is well.
    static constexpr std::chrono::seconds safetyLimit{60};

private:
    DaemonProcess(pid_t pid, std::string serviceName, UniqueFd logPipe);
    void collectLog(UniqueFd logPipe);

    pid_t pid_;
    std::string serviceName_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool logClosed_ = false;
    std::thread logReader_;
};

// The lines of `lines` that begin with `prefix`.
[[nodiscard]] std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                                         const std::string& prefix);

}  // namespace tavelin::e2e
