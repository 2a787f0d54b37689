#include "tests/e2e/EndToEndSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <variant>

#include "TavelinShared/tests/support/LayoutFolders.h"

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

ChildWithOutput startClient(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& serviceName) {
    std::vector<std::string> words = {"-u", "TAVELIN_SERVICE_NAME"};
    if (!serviceName.empty()) {
        words.push_back("TAVELIN_SERVICE_NAME=" + serviceName);
    }
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto started = spawnWithCombinedOutput("/usr/bin/env", words);
    if (!started) {
        ADD_FAILURE() << "cannot start " << program << ": " << started.error().text();
        return {ChildProcess(-1), UniqueFd()};
    }
    return std::move(started).value();
}

ClientOutcome finishClient(ChildWithOutput& client) {
    ClientOutcome outcome{client.child.pid(), -1, {}};
    char buffer[4096];
    ssize_t count = 0;
    while (client.output && ((count = ::read(client.output.get(), buffer, sizeof buffer)) > 0 ||
                             (count < 0 && errno == EINTR))) {
        outcome.output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    const auto ended = client.child.wait();
    if (ended) {
        outcome.exitStatus = ended->code + (ended->signaled ? 128 : 0);
    }
    return outcome;
}

ClientOutcome runClient(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& serviceName) {
    ChildWithOutput client = startClient(program, arguments, serviceName);
    return finishClient(client);
}

void DaemonTest::startDaemon(const std::string& launcher) {
    std::string whyNot;
    daemonProcess = DaemonProcess::start(uniqueServiceName(), whyNot, 0, launcher);
    ASSERT_NE(daemonProcess, nullptr) << whyNot;
    startLineCount = daemonProcess->lines().size();
}

ClientOutcome runAttacker(const std::vector<std::string>& command, const std::string& serviceName,
                          bool asRoot) {
    std::vector<std::string> words = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                      "/usr/bin/env",
                                      "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    if (asRoot) {
        words.erase(words.begin(), words.begin() + 4);
    }
    words.insert(words.end(), command.begin(), command.end());
    return runClient(asRoot ? "/usr/bin/env" : "/usr/bin/setpriv", words, serviceName);
}

std::string repairAudit(const std::string& path) {
    return "[TavelinHelper] perform: Rechte reparieren: " + path;
}

std::string installCopy(const std::string& from, const std::string& to, uid_t owner, gid_t group,
                        mode_t mode) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(::chown(to.c_str(), owner, group), 0) << to;
    EXPECT_EQ(::chmod(to.c_str(), mode), 0) << to;  // after chown, which clears set-group-id
    return to;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::string mappedLibrary(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const std::size_t path = line.find('/');
        if (path != std::string::npos && line.find("/" + name, path) != std::string::npos) {
            return line.substr(path);
        }
    }
    return {};
}

ConnectionHolder::ConnectionHolder(const std::string& program, const std::string& name,
                                   const std::string& mode, int count, const std::string& folder,
                                   bool asNobody)
    : holder_(startClient(
          program, {name, mode, std::to_string(count), folder, asNobody ? "--as-nobody" : ""},
          "")) {
    char buffer[64];
    for (ssize_t got = 0; line_.find('\n') == std::string::npos &&
                          (got = ::read(holder_.output.get(), buffer, sizeof buffer)) > 0;) {
        line_.append(buffer, static_cast<std::size_t>(got));
    }
}

CacheSandbox::CacheSandbox() {
    if (::geteuid() != 0) {
        return;
    }
    static std::atomic<int> counter{0};
    const std::string area(testing::layout::firstArea);
    const std::string path =
        area + "/tavelin-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    // Another test process may remove an ancestor it made between our mkdirs; try again.
    for (int attempt = 0; attempt < 5 && path_.empty(); ++attempt) {
        // The area and each folder above it, from the top: "/Library", "/Library/Caches".
        for (std::size_t end = 0; end != area.size();) {
            end = std::min(area.find('/', end + 1), area.size());
            std::string ancestor = area.substr(0, end);
            if (::mkdir(ancestor.c_str(), 0755) == 0) {
                createdAncestors_.push_back(std::move(ancestor));
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
    for (auto ancestor = createdAncestors_.rbegin(); ancestor != createdAncestors_.rend();
         ++ancestor) {
        ::rmdir(ancestor->c_str());  // only if empty: never what someone else put there
    }
}

void writeFile(const std::string& path, std::size_t size) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

}  // namespace tavelin::e2e
