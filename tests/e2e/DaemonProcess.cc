#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <variant>

#include "TavelinPlatform/ipc/UnixSocket.h"
#include "tests/e2e/EndToEndSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::e2e {

std::unique_ptr<DaemonProcess> DaemonProcess::start(const std::string& serviceName,
                                                    std::string& whyNot,
                                                    unsigned long addressSpaceLimit,
                                                    const std::string& launcher,
                                                    const std::string& program) {
    Expected<UniqueFd, SystemError> listening = listenOnAbstractName(serviceName);
    int logPipe[2];
    if (!listening) {
        whyNot = "listen on " + serviceName + ": " + listening.error().text();
        return nullptr;
    }
    if (::pipe2(logPipe, O_CLOEXEC) != 0) {
        whyNot = "pipe: " + systemErrorText(errno);
        return nullptr;
    }
    UniqueFd logRead(logPipe[0]);
    UniqueFd logWrite(logPipe[1]);
    // Lifted above 3 so that the dup2 onto 3 cannot meet the socket itself.
    const UniqueFd socket(::fcntl(listening->get(), F_DUPFD_CLOEXEC, 10));
    // The shell's pid is the daemon's after exec: that is how LISTEN_PID learns it.
    const std::string limit =
        addressSpaceLimit == 0 ? "" : "ulimit -v " + std::to_string(addressSpaceLimit) + " && ";
    const std::string command = limit + "exec env LISTEN_PID=$$ LISTEN_FDS=1 " +
                                (launcher.empty() ? "" : "\"$1\" ") + "\"$0\"";
    const char* argv[] = {"/bin/sh",
                          "-c",
                          command.c_str(),
                          program.c_str(),
                          launcher.empty() ? nullptr : launcher.c_str(),
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, logWrite.get(), STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, socket.get(), 3);
    pid_t pid = 0;
    const int failed =
        ::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    // The daemon's copy alone: a daemon that dies before its start line ends the log at once.
    logWrite.reset();
    if (failed != 0) {
        whyNot = "spawn: " + systemErrorText(failed);
        return nullptr;
    }
    std::unique_ptr<DaemonProcess> daemon(new DaemonProcess(pid, serviceName, std::move(logRead)));
    // With the priority prefix when its stderr is a journal stream.
    const auto started = daemon->waitForLines([](const std::string& line) {
        return line.rfind("[TavelinHelper] gestartet, Service: ", 0) == 0 ||
               line.rfind("<6>[TavelinHelper] gestartet, Service: ", 0) == 0;
    });
    if (started.empty()) {
        whyNot = "the daemon " + program + " wrote no start line";
        return nullptr;
    }
    return daemon;
}

DaemonProcess::DaemonProcess(pid_t pid, std::string serviceName, UniqueFd logPipe)
    : pid_(pid),
      serviceName_(std::move(serviceName)),
      logReader_([this, pipe = std::move(logPipe)] { collectLog(pipe); }) {}

DaemonProcess::~DaemonProcess() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    logReader_.join();  // the pipe reaches end of file once the daemon is gone
    // A sanitizer report in either process (a race goes on running) fails the test.
    for (const std::string& line : lines_) {
        if (line.find("Sanitizer") != std::string::npos) {
            ADD_FAILURE() << "the daemon's log holds a sanitizer report: " << line;
        }
    }
}

void DaemonProcess::collectLog(const UniqueFd& logPipe) {
    std::string pending;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(logPipe.get(), buffer, sizeof buffer)) > 0 ||
           (count < 0 && errno == EINTR)) {
        pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        const std::lock_guard lock(mutex_);
        for (std::size_t end = 0; (end = pending.find('\n')) != std::string::npos;) {
            lines_.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
        changed_.notify_all();
    }
    const std::lock_guard lock(mutex_);
    logClosed_ = true;
    changed_.notify_all();
}

namespace {

long processResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

}  // namespace

long DaemonProcess::residentKiB() const {
    long total = processResidentKiB(pid_);
    std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                           "/children");
    pid_t child = 0;
    while (children >> child) {
        total += processResidentKiB(child);
    }
    return total;
}

std::vector<std::string> DaemonProcess::lines() const {
    const std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> DaemonProcess::linesAfter(std::size_t count) const {
    const std::lock_guard lock(mutex_);
    return {lines_.begin() + static_cast<std::ptrdiff_t>(std::min(count, lines_.size())),
            lines_.end()};
}

std::vector<std::string> DaemonProcess::waitForLines(
    const std::function<bool(const std::string&)>& matches, std::size_t count) const {
    std::vector<std::string> found;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(60), [&] {
        found.clear();
        std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(found), matches);
        return found.size() >= count || logClosed_;
    });
    return found;
}

}  // namespace tavelin::e2e
