#include "bench/PeakMemory.h"

#include <fstream>
#include <string>
#include <utility>

#include "bench/Comparison.h"

namespace tavelin::bench {

namespace {

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM").
long statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    fail("no " + field + " for process " + std::to_string(pid));
}

}  // namespace

std::vector<pid_t> processWithChildren(pid_t pid) {
    std::vector<pid_t> processes = {pid};
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    pid_t child = 0;
    while (children >> child) {
        processes.push_back(child);
    }
    return processes;
}

PeakMemory::PeakMemory(std::vector<pid_t> processes) : processes_(std::move(processes)) {
    for (const pid_t pid : processes_) {
        std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
        clear << "5";
        clear.flush();
        if (!clear) {
            fail("cannot reset the peak memory mark of process " + std::to_string(pid) +
                 " (needs root)");
        }
        // The mark now stands at the resident memory of the moment.
        residentBefore_.push_back(statusKiB(pid, "VmHWM"));
    }
}

std::vector<long> PeakMemory::growthKiB() const {
    std::vector<long> growth;
    growth.reserve(processes_.size());
    for (std::size_t index = 0; index < processes_.size(); ++index) {
        growth.push_back(statusKiB(processes_[index], "VmHWM") - residentBefore_[index]);
    }
    return growth;
}

}  // namespace tavelin::bench
