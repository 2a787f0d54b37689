#pragma once

#include <sys/types.h>

#include <vector>

// The peak memory a piece of work costs a group of processes (the daemon's monitor and
// front; dbus-daemon and the D-Bus service), from the kernel's peak-RSS mark of each.
// Needs the right to write the processes' /proc/PID/clear_refs (root, for the daemon).
namespace tavelin::bench {

// The monitor `pid` and its children (the front), as tests/e2e/DaemonProcess finds them.
[[nodiscard]] std::vector<pid_t> processWithChildren(pid_t pid);

class PeakMemory {
  public:
    // Resets each process's peak mark to its resident memory (`echo 5 >
    // /proc/PID/clear_refs`) and notes that.
    explicit PeakMemory(std::vector<pid_t> processes);

    // For each process, its peak (VmHWM) since the reset above its resident memory at the
    // reset, in KiB.
    [[nodiscard]] std::vector<long> growthKiB() const;

  private:
    std::vector<pid_t> processes_;
    std::vector<long> residentBefore_;
};

}  // namespace tavelin::bench
