#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin::e2e {

inline constexpr const char* daemonPath = TAVELIN_DAEMON_PATH;
inline constexpr const char* tavelinctlPath = TAVELINCTL_PATH;

inline constexpr const char* refusalReasonLine =
    "[TavelinHelper] Client-Signatur erf\u00fcllt das Requirement nicht.";
[[nodiscard]] std::string refusalLine(pid_t pid);

// "de.morvane.Tavelin.helper.test.<pid>.<n>": a name no other test uses.
[[nodiscard]] std::string uniqueServiceName();

// The real daemon binary, socket-activated: the test listens on `serviceName` and the
// daemon gets that socket as descriptor 3 with LISTEN_FDS=1 and LISTEN_PID=its pid. Its
// stderr (the log) is collected line by line. Destroying it kills (SIGKILL) and reaps it.
class DaemonProcess {
  public:
    // Nothing (with a reason in `whyNot`) unless the daemon wrote its start line.
    // `addressSpaceLimit` (KiB; 0: none) is set on the daemon before it starts, and so on
    // its front too. `launcher`, when given, is exec'd first with the daemon's path as its
    // argument, and must exec the daemon in the same process. `program`: the daemon's
    // executable (another build of it, beside the front).
    [[nodiscard]] static std::unique_ptr<DaemonProcess> start(
        const std::string& serviceName, std::string& whyNot, unsigned long addressSpaceLimit = 0,
        const std::string& launcher = {}, const std::string& program = daemonPath);
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;
    ~DaemonProcess();

    [[nodiscard]] const std::string& serviceName() const noexcept { return serviceName_; }
    // The monitor's pid; the front is its child.
    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // The resident memory of the monitor and of its children (the front), in KiB.
    [[nodiscard]] long residentKiB() const;
    // Every complete log line so far, without its line feed; those after the first `count`.
    [[nodiscard]] std::vector<std::string> lines() const;
    [[nodiscard]] std::vector<std::string> linesAfter(std::size_t count) const;
    // Waits until `count` lines match (or the log ends, or a generous safety limit passes,
    // which the test then sees as missing lines); the matching lines.
    std::vector<std::string> waitForLines(const std::function<bool(const std::string&)>& matches,
                                          std::size_t count = 1) const;

  private:
    DaemonProcess(pid_t pid, std::string serviceName, UniqueFd logPipe);
    void collectLog(const UniqueFd& logPipe);

    pid_t pid_;
    std::string serviceName_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool logClosed_ = false;
    std::thread logReader_;
};

// How a client process ended (exit code, or 128 + signal) and what it printed on stdout
// and stderr together.
struct ClientOutcome {
    pid_t pid = 0;
    int exitStatus = -1;
    std::string output;
};

// Starts `program` with TAVELIN_SERVICE_NAME=`serviceName` (unset when empty), through
// env(1), which execs it in the same process.
[[nodiscard]] ChildWithOutput startClient(const std::string& program,
                                          const std::vector<std::string>& arguments,
                                          const std::string& serviceName);
// Reads a started client's output to its end and reaps it (no time limit).
[[nodiscard]] ClientOutcome finishClient(ChildWithOutput& client);
[[nodiscard]] ClientOutcome runClient(const std::string& program,
                                      const std::vector<std::string>& arguments,
                                      const std::string& serviceName);

// One run of the connection holder (tests/e2e/ConnectionHolder.cc, `program`): its
// connections stay open until it is destroyed, which kills it. Its maximal requests remove
// nothing that exists below `folder`.
class ConnectionHolder {
  public:
    ConnectionHolder(const std::string& program, const std::string& name, const std::string& mode,
                     int count, const std::string& folder, bool asNobody);

    // "ready <count>" once every connection was set up.
    [[nodiscard]] const std::string& report() const { return line_; }

  private:
    ChildWithOutput holder_;
    std::string line_;
};

// Starts the real daemon on a name of its own for every test.
class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override { startDaemon(); }
    // Starts it through `launcher` (see DaemonProcess::start); the test fails without it.
    void startDaemon(const std::string& launcher = {});
    // The signed tavelinctl against this test's daemon.
    [[nodiscard]] ClientOutcome tavelinctl(const std::vector<std::string>& arguments) const {
        return runClient(tavelinctlPath, arguments, daemonProcess->serviceName());
    }
    // The log lines written after the first `count` lines.
    [[nodiscard]] std::vector<std::string> linesAfter(std::size_t count) const {
        return daemonProcess->linesAfter(count);
    }

    std::unique_ptr<DaemonProcess> daemonProcess;
    // The lines the daemon wrote up to and with its start line.
    std::size_t startLineCount = 0;
};

// A fresh folder in the layout's first removable area (the daemon acts only below the
// allowed folders). Creates the area and the folders above it when missing and removes,
// when destroyed, exactly what it created. Needs root; `available()` is false otherwise.
class CacheSandbox {
  public:
    CacheSandbox();
    CacheSandbox(const CacheSandbox&) = delete;
    CacheSandbox& operator=(const CacheSandbox&) = delete;
    ~CacheSandbox();

    [[nodiscard]] bool available() const noexcept { return !path_.empty(); }
    [[nodiscard]] std::string item(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::vector<std::string> createdAncestors_;
    std::string path_;
};

// Runs `command` through env(1) as an attacker: uid and gid 65534 without supplementary
// groups, or root when `asRoot`. The sanitizer runtimes are told to let a preloaded library
// be and to look for no leaks (which they cannot in another namespace).
[[nodiscard]] ClientOutcome runAttacker(const std::vector<std::string>& command,
                                        const std::string& serviceName, bool asRoot = false);

// The daemon's audit line for a repair of `path`.
[[nodiscard]] std::string repairAudit(const std::string& path);

// Copies `from` to `to` (replacing it), owned by `owner`:`group`, with `mode`; `to`.
std::string installCopy(const std::string& from, const std::string& to, uid_t owner, gid_t group,
                        mode_t mode = 0755);

// The permission bits of a file (0 when it cannot be looked at).
[[nodiscard]] mode_t modeOf(const std::string& path);

// The file of a library this test process has mapped, by the start of its name, e.g.
// "libstdc++.so.6" finds ".../libstdc++.so.6.0.30".
[[nodiscard]] std::string mappedLibrary(const std::string& name);

// Writes `size` bytes into a new file.
void writeFile(const std::string& path, std::size_t size);

// A fresh directory under /tmp, removed with everything in it when destroyed.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();

    [[nodiscard]] std::string file(std::string_view name) const {
        return path_ + "/" + std::string(name);
    }

  private:
    std::string path_;
};

// A copy of the signed `program` re-signed as `identifier` by a leaf that the development
// anchor issued with subject OU `organizationalUnit`: a trusted chain, but perhaps another
// team. "" on success, otherwise why the copy could not be made.
[[nodiscard]] std::string makeCopySignedUnderDevelopmentAnchor(const std::string& program,
                                                               const std::string& destination,
                                                               std::string_view organizationalUnit,
                                                               std::string_view identifier);

}  // namespace tavelin::e2e
