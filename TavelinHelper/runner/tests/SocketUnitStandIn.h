#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin::testing {

// Serves one AF_UNIX SOCK_SEQPACKET socket at a path, as a socket unit with Accept=yes
// does: every connection accepted is handed to `serve` on the stand-in's own thread, one
// after another, until the stand-in is destroyed.
class SeqpacketListener {
  public:
    using Serve = std::function<void(UniqueFd connection)>;
    // Listens at `path` (an existing file there is replaced), mode 0777 so that any user
    // may connect.
    SeqpacketListener(std::string path, Serve serve);
    SeqpacketListener(const SeqpacketListener&) = delete;
    SeqpacketListener& operator=(const SeqpacketListener&) = delete;
    ~SeqpacketListener();

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    void acceptAll();

    std::string path_;
    Serve serve_;
    UniqueFd listening_;
    UniqueFd stop_;  // an eventfd: readable once the destructor wants the thread to end
    std::thread thread_;
};

// The service manager's side of the runner's socket unit: each connection starts `runner`
// with the connection as descriptor 3, LISTEN_FDS=1 and LISTEN_PID its own pid, nothing
// else in its environment, standard error appended to `logPath`. Destroying it waits for
// every runner started.
class RunnerSocketUnit {
  public:
    RunnerSocketUnit(const std::string& socketPath, std::string runner, std::string logPath);
    ~RunnerSocketUnit();
    RunnerSocketUnit(const RunnerSocketUnit&) = delete;
    RunnerSocketUnit& operator=(const RunnerSocketUnit&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return listener_.path(); }

    // Waits up to a minute for every runner started so far to end, and reaps them; false
    // if one still runs then.
    [[nodiscard]] bool awaitRunners();

  private:
    void start(UniqueFd connection);

    std::string runner_;
    std::string logPath_;
    std::mutex lock_;
    std::vector<ChildProcess> started_;  // guarded by lock_
    SeqpacketListener listener_;         // last: its thread ends before the rest goes
};

}  // namespace tavelin::testing
