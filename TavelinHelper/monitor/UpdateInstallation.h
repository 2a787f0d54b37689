#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedResult.h"
#include "ToolRun.h"

namespace tavelin {

// What the update tool is always given, in this order (argv[0] is the tool's path).
inline constexpr std::array<std::string_view, 3> updateToolArguments = {"--install", "--all",
                                                                        "--agree-to-license"};

// The update tool's whole environment: a fixed search path, and the C locale so that it
// speaks the English the verdict's phrases are in. Nothing of the daemon's own environment
// reaches it.
inline constexpr std::array<std::string_view, 2> updateToolEnvironment = {
    "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C"};

// Where the update tool starts, so it holds no directory of the daemon's open.
inline constexpr std::string_view updateToolWorkingDirectory = "/";

// The file mode creation mask the update tool runs with: what it creates is writable by its
// owner only, readable by everyone.
inline constexpr mode_t updateToolUmask = 022;

// Sets this process's umask to updateToolUmask. posix_spawn cannot give a child a mask of
// its own and the mask belongs to the whole process, so the daemon's main calls this once
// at start-up, before any thread starts, and nothing changes the mask afterwards: every
// tool the daemon starts inherits it. The daemon creates no files of its own, so nothing
// else depends on it.
void applyUpdateToolUmask() noexcept;

// The install-system-updates operation, one run at a time. Owns the tool's path, the run's
// limits and the turn-taking that keeps runs apart; one instance serves the whole process
// and must outlive every request. Calls may come from several threads at once.
class UpdateInstaller {
  public:
    static constexpr std::string_view defaultToolPath = "/usr/sbin/softwareupdate";
    // A run still going after this long is taken to hang, and its process group is killed.
    // Downloading and installing a large system update on a slow line can take hours.
    static constexpr std::chrono::hours defaultTimeout{6};
    // How long something the tool left behind may keep the output pipe open after the tool
    // itself has ended, before the run answers with what it has.
    static constexpr std::chrono::seconds defaultDrainDeadline{5};

    explicit UpdateInstaller(std::string toolPath = std::string(defaultToolPath),
                             std::chrono::milliseconds timeout = defaultTimeout,
                             std::chrono::milliseconds drainDeadline = defaultDrainDeadline);
    UpdateInstaller(const UpdateInstaller&) = delete;
    UpdateInstaller& operator=(const UpdateInstaller&) = delete;

    // Waits until every request that came earlier has been answered, then runs the tool
    // with updateToolArguments (runTool): environment exactly updateToolEnvironment, working
    // directory "/", standard input /dev/null, a process group of its own, and the umask the
    // process has (see applyUpdateToolUmask). Answers SoftwareUpdateEvaluation's verdict on
    // its status and its output, judged as it streams (OutputScanner), so memory stays
    // bounded whatever the tool prints. A tool killed for taking too long answers as killed
    // by SIGKILL, with the output it wrote until then. A tool that cannot be started answers
    // success false, "Start fehlgeschlagen: " + the system's error text (e.g. "No such file
    // or directory"), freedBytes 0. Logs nothing. Throws only std::bad_alloc and
    // std::system_error (no thread could be started); the child is killed and reaped before
    // either leaves, and the next request gets its turn.
    [[nodiscard]] PrivilegedResult install();

  private:
    class Turn;

    const std::string toolPath_;
    const ToolRunLimits limits_;
    std::mutex lock_;
    std::condition_variable turnEnded_;
    std::uint64_t nextTicket_ = 0;  // the turn the next request gets; guarded by lock_
    std::uint64_t nowServing_ = 0;  // the turn that may run now; guarded by lock_
};

}  // namespace tavelin
