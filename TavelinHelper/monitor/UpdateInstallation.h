#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <string>
#include <string_view>

#include "TavelinHelper/common/ToolRun.h"
#include "TavelinHelper/common/UpdateTool.h"
#include "TavelinPlatform/core/Mutex.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

// The install-system-updates operation, one run at a time. Owns the tool's path, the run's
// limits and the turn-taking that keeps runs apart; one instance serves the whole process
// and must outlive every request. Calls may come from several threads at once.
class UpdateInstaller {
  public:
    static constexpr std::string_view defaultToolPath = updateToolPath;
    static constexpr std::chrono::milliseconds defaultTimeout = updateToolTimeout;
    static constexpr std::chrono::milliseconds defaultDrainDeadline = updateToolDrain;

    // Runs the tool at `toolPath` itself.
    explicit UpdateInstaller(std::string toolPath = std::string(defaultToolPath),
                             std::chrono::milliseconds timeout = defaultTimeout,
                             std::chrono::milliseconds drainDeadline = defaultDrainDeadline);
    // Has the update runner listening on `socketPath` run the tool
    // (runUpdateToolThroughRunner); the drain time is the runner's own then.
    struct ThroughRunner {
        std::string socketPath;
    };
    explicit UpdateInstaller(ThroughRunner runner,
                             std::chrono::milliseconds timeout = defaultTimeout);
    UpdateInstaller(const UpdateInstaller&) = delete;
    UpdateInstaller& operator=(const UpdateInstaller&) = delete;

    // Waits until every request that came earlier has been answered, then runs the tool
    // (runUpdateTool), or has the runner run it the same way: updateToolArguments,
    // environment exactly updateToolEnvironment, working directory "/", standard input
    // /dev/null, a process group of its own, and the umask the process has (see
    // applyUpdateToolUmask). Answers SoftwareUpdateEvaluation's verdict on its status and
    // its output, judged as it streams (OutputScanner), so memory stays bounded whatever the
    // tool prints. A tool killed for taking too long answers as killed by SIGKILL, with the
    // output it wrote until then. A tool that cannot be started, or a runner that cannot be
    // reached, answers success false, "Start fehlgeschlagen: " + the system's error text
    // (e.g. "No such file or directory"), freedBytes 0. Logs nothing. Throws only
    // std::bad_alloc and std::system_error (no thread could be started); the child is
    // killed and reaped (or the runner hung up on) before either leaves, and the next
    // request gets its turn.
    [[nodiscard]] PrivilegedResult install();

  private:
    class Turn;
    const std::string toolPath_;    // empty when the runner runs the tool
    const std::string runnerPath_;  // empty when the tool is run here
    const ToolRunLimits limits_;
    Mutex lock_;
    std::condition_variable turnEnded_;
    std::uint64_t nextTicket_ GUARDED_BY(lock_) = 0;  // the turn the next request gets
    std::uint64_t nowServing_ GUARDED_BY(lock_) = 0;  // the turn that may run now
};

}  // namespace tavelin
