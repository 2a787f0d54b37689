#include "tests/e2e/EndToEndSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <variant>

#include "TavelinShared/tests/support/LayoutFolders.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

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

void DaemonTest::SetUp() {
    std::string whyNot;
    daemonProcess = DaemonProcess::start(uniqueServiceName(), whyNot);
    ASSERT_NE(daemonProcess, nullptr) << whyNot;
    startLineCount = daemonProcess->lines().size();
}

std::vector<std::string> DaemonTest::linesAfter(std::size_t count) const {
    const std::vector<std::string> all = daemonProcess->lines();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end()};
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
                                   bool asNobody) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return;
    }
    holdOpen_.reset(input[1]);
    const UniqueFd childInput(input[0]);
    const UniqueFd childOutput(output[1]);
    const UniqueFd report(output[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDOUT_FILENO);
    std::vector<std::string> words = {program, name, mode, std::to_string(count), folder};
    if (asNobody) {
        words.emplace_back("--as-nobody");
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        ADD_FAILURE() << "cannot start the holder";
        return;
    }
    char buffer[64];
    ssize_t got = 0;
    const UniqueFd& reader = report;
    while ((got = ::read(reader.get(), buffer, sizeof buffer)) > 0) {
        line_.append(buffer, static_cast<std::size_t>(got));
        if (line_.find('\n') != std::string::npos) {
            break;
        }
    }
}

ConnectionHolder::~ConnectionHolder() {
    holdOpen_.reset();  // the holder sees end of input, closes everything and exits
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
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
