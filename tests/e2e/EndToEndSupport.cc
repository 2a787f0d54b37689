#include "EndToEndSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tavelin::e2e {

std::string refusalLine(pid_t pid) {
    return "[TavelinHelper] Verbindung ABGELEHNT (Signaturpr\u00fcfung fehlgeschlagen, pid=" +
           std::to_string(pid) + ")";
}

std::string uniqueServiceName() {
    static std::atomic<int> counter{0};
    return "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + "." +
           std::to_string(counter++);
}

void DaemonTest::SetUp() {
    std::string whyNot;
    daemonProcess = DaemonProcess::start(daemonPath, uniqueServiceName(), whyNot);
    ASSERT_NE(daemonProcess, nullptr) << whyNot;
}

ClientOutcome DaemonTest::tavelinctl(const std::vector<std::string>& arguments) const {
    return runClient(tavelinctlPath, arguments, daemonProcess->serviceName());
}

std::vector<std::string> DaemonTest::linesAfter(std::size_t count) const {
    const std::vector<std::string> all = daemonProcess->lines();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end()};
}

CacheSandbox::CacheSandbox() {
    if (::geteuid() != 0) {
        return;
    }
    static std::atomic<int> counter{0};
    const std::string path =
        "/Library/Caches/tavelin-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    // Another test process may remove an ancestor it made between our mkdirs; try again.
    for (int attempt = 0; attempt < 5 && path_.empty(); ++attempt) {
        for (const char* ancestor : {"/Library", "/Library/Caches"}) {
            if (::mkdir(ancestor, 0755) == 0) {
                createdAncestors_.emplace_back(ancestor);
            }
        }
        if (::mkdir(path.c_str(), 0755) == 0) {
            path_ = path;
        }
    }
}

CacheSandbox::~CacheSandbox() {
    std::error_code ignored;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ignored);
    }
    for (auto ancestor = createdAncestors_.rbegin(); ancestor != createdAncestors_.rend(); ++ancestor) {
        ::rmdir(ancestor->c_str());  // only if empty: never what someone else put there
    }
}

void writeFile(const std::string& path, std::size_t size) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

}  // namespace tavelin::e2e
