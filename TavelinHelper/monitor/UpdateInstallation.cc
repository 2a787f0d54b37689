#include "TavelinHelper/monitor/UpdateInstallation.h"

#include <utility>

#include "TavelinHelper/monitor/UpdateRunnerClient.h"
#include "TavelinShared/SoftwareUpdateEvaluation.h"

namespace tavelin {

// One request's turn at running the tool. Turns are handed out in the order requests
// arrive and each is given back on every path, an exception included, so a waiting request
// is never skipped and never waits for a run that has ended.
class UpdateInstaller::Turn {
  public:
    explicit Turn(UpdateInstaller& installer) : installer_(installer) {
        const MutexLock guard(installer_.lock_);
        const std::uint64_t ticket = installer_.nextTicket_++;
        while (installer_.nowServing_ != ticket) {
            installer_.lock_.wait(installer_.turnEnded_);
        }
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() {
        {
            const MutexLock guard(installer_.lock_);
            ++installer_.nowServing_;
        }
        installer_.turnEnded_.notify_all();
    }

  private:
    UpdateInstaller& installer_;
};

UpdateInstaller::UpdateInstaller(std::string toolPath, std::chrono::milliseconds timeout,
                                 std::chrono::milliseconds drainDeadline)
    : toolPath_(std::move(toolPath)), limits_{timeout, drainDeadline} {}

UpdateInstaller::UpdateInstaller(ThroughRunner runner, std::chrono::milliseconds timeout)
    : runnerPath_(std::move(runner.socketPath)), limits_{timeout, defaultDrainDeadline} {}

PrivilegedResult UpdateInstaller::install() {
    const Turn turn(*this);
    SoftwareUpdateEvaluation::OutputScanner scanner;
    const OutputConsumer scan = [&scanner](std::string_view bytes) { scanner.append(bytes); };
    const Expected<std::int32_t, SystemError> status =
        runnerPath_.empty() ? runUpdateTool(toolPath_, limits_, scan)
                            : runUpdateToolThroughRunner(runnerPath_, limits_, scan);
    if (!status) {
        return PrivilegedResult(false, "Start fehlgeschlagen: " + status.error().text(), 0);
    }
    return scanner.result(*status);
}

}  // namespace tavelin
