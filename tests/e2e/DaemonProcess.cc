#include "DaemonProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <variant>

#include "UnixSocket.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::e2e {
namespace {

constexpr std::string_view startLinePrefix = "[TavelinHelper] gestartet, Service: ";

// Our environment without any LISTEN_* of our own, plus the two activation variables;
// the LISTEN_PID slot is filled in by the child, which alone knows its pid.
struct ActivationEnvironment {
    std::vector<std::string> entries;
    std::string listenPid = std::string(32, '\0');
    std::vector<char*> pointers;

    ActivationEnvironment() {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "LISTEN_", 7) != 0) {
                entries.emplace_back(*entry);
            }
        }
        entries.emplace_back("LISTEN_FDS=1");
        for (std::string& entry : entries) {
            pointers.push_back(entry.data());
        }
        pointers.push_back(listenPid.data());
        pointers.push_back(nullptr);
    }
};

// Async-signal-safe "LISTEN_PID=<pid>" into a buffer allocated before fork.
void formatListenPid(char* buffer, pid_t pid) {
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid > 0);
    const char prefix[] = "LISTEN_PID=";
    std::memcpy(buffer, prefix, sizeof prefix - 1);
    char* out = buffer + sizeof prefix - 1;
    while (count > 0) {
        *out++ = digits[--count];
    }
    *out = '\0';
}

[[noreturn]] void execDaemon(const char* path, int listener, int logWrite, char* const* envp,
                             char* listenPid) {
    // Lift both descriptors clear of 2 and 3 first, so neither dup2 can clobber the other.
    const int socketCopy = ::fcntl(listener, F_DUPFD_CLOEXEC, 10);
    const int logCopy = ::fcntl(logWrite, F_DUPFD_CLOEXEC, 10);
    if (socketCopy < 0 || logCopy < 0 || ::dup2(logCopy, STDERR_FILENO) < 0 ||
        ::dup2(socketCopy, 3) < 0) {
        ::_exit(127);
    }
    formatListenPid(listenPid, ::getpid());
    char* const argv[] = {const_cast<char*>(path), nullptr};
    ::execve(path, argv, envp);
    ::_exit(127);
}

}  // namespace

std::unique_ptr<DaemonProcess> DaemonProcess::start(const std::string& daemonPath,
                                                    const std::string& serviceName,
                                                    std::string& whyNot) {
    std::variant<UniqueFd, SystemError> listening = listenOnAbstractName(serviceName);
    if (const auto* error = std::get_if<SystemError>(&listening)) {
        whyNot = "listen on " + serviceName + ": " + error->text();
        return nullptr;
    }
    int logPipe[2];
    if (::pipe2(logPipe, O_CLOEXEC) != 0) {
        whyNot = "pipe: " + systemErrorText(errno);
        return nullptr;
    }
    UniqueFd logRead(logPipe[0]);
    UniqueFd logWrite(logPipe[1]);
    ActivationEnvironment environment;
    const pid_t pid = ::fork();
    if (pid < 0) {
        whyNot = "fork: " + systemErrorText(errno);
        return nullptr;
    }
    if (pid == 0) {
        execDaemon(daemonPath.c_str(), std::get<UniqueFd>(listening).get(), logWrite.get(),
                   environment.pointers.data(), environment.listenPid.data());
    }
    // Only the daemon holds the listening socket and the pipe's write end from here on.
    std::unique_ptr<DaemonProcess> daemon(
        new DaemonProcess(pid, serviceName, std::move(logRead)));
    std::get<UniqueFd>(listening).reset();
    logWrite.reset();
    const auto started = daemon->waitForLines([](const std::string& line) {
        return line.rfind(startLinePrefix, 0) == 0;
    });
    if (started.empty()) {
        whyNot = "the daemon " + daemonPath + " wrote no start line";
        return nullptr;
    }
    return daemon;
}

DaemonProcess::DaemonProcess(pid_t pid, std::string serviceName, UniqueFd logPipe)
    : pid_(pid), serviceName_(std::move(serviceName)) {
    logReader_ = std::thread([this, pipe = std::move(logPipe)]() mutable {
        collectLog(std::move(pipe));
    });
}

DaemonProcess::~DaemonProcess() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    logReader_.join();  // the pipe reaches end of file once the daemon is gone
}

void DaemonProcess::collectLog(UniqueFd logPipe) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(logPipe.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(count));
        std::size_t end = 0;
        const std::lock_guard<std::mutex> lock(mutex_);
        while ((end = pending.find('\n')) != std::string::npos) {
            lines_.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
        changed_.notify_all();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    logClosed_ = true;
    changed_.notify_all();
}

std::vector<std::string> DaemonProcess::lines() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> DaemonProcess::waitForLines(
    const std::function<bool(const std::string&)>& matches, std::size_t count) const {
    std::vector<std::string> found;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, safetyLimit, [&] {
        found.clear();
        for (const std::string& line : lines_) {
            if (matches(line)) {
                found.push_back(line);
            }
        }
        return found.size() >= count || logClosed_;
    });
    return found;
}

bool DaemonProcess::isRunning() const {
    siginfo_t info{};
    // WNOWAIT: look without reaping, so the destructor still can.
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

}  // namespace tavelin::e2e
