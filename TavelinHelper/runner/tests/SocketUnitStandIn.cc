#include "TavelinHelper/runner/tests/SocketUnitStandIn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace tavelin::testing {

SeqpacketListener::SeqpacketListener(std::string path, Serve serve)
    : path_(std::move(path)),
      serve_(std::move(serve)),
      listening_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)),
      stop_(::eventfd(0, EFD_CLOEXEC)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path_);
    }
    std::memcpy(address.sun_path, path_.data(), path_.size());
    ::unlink(path_.c_str());
    if (!listening_ || !stop_ ||
        ::bind(listening_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        ::chmod(path_.c_str(), 0777) != 0 || ::listen(listening_.get(), 16) != 0) {
        throw std::runtime_error("cannot listen at " + path_ + ": " + std::strerror(errno));
    }
    thread_ = std::thread([this] { acceptAll(); });
}

SeqpacketListener::~SeqpacketListener() {
    const std::uint64_t one = 1;
    static_cast<void>(!::write(stop_.get(), &one, sizeof one));
    thread_.join();
    ::unlink(path_.c_str());
}

void SeqpacketListener::acceptAll() {
    std::array<pollfd, 2> watched{{{listening_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}}};
    while (::poll(watched.data(), watched.size(), -1) >= 0 || errno == EINTR) {
        if (watched[1].revents != 0) {
            return;
        }
        if (watched[0].revents != 0) {
            UniqueFd connection(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection) {
                serve_(std::move(connection));
            }
        }
    }
}

RunnerSocketUnit::RunnerSocketUnit(const std::string& socketPath, std::string runner,
                                   std::string logPath)
    : runner_(std::move(runner)),
      logPath_(std::move(logPath)),
      listener_(socketPath, [this](UniqueFd connection) { start(std::move(connection)); }) {}

RunnerSocketUnit::~RunnerSocketUnit() {
    // The listener's thread is still running here; it starts nothing once nobody connects.
    const std::lock_guard guard(lock_);
    for (ChildProcess& runner : started_) {
        static_cast<void>(runner.wait());
    }
}

bool RunnerSocketUnit::awaitRunners() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    const std::lock_guard guard(lock_);
    for (; !started_.empty(); started_.pop_back()) {
        const auto ended = started_.back().awaitEnd(deadline);
        if (!ended || !*ended || !started_.back().wait()) {
            return false;
        }
    }
    return true;
}

void RunnerSocketUnit::start(UniqueFd connection) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.c_str(),
                                     O_WRONLY | O_APPEND | O_CREAT, 0644);
    posix_spawn_file_actions_adddup2(&actions, connection.get(), 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    // The shell's $$ is the pid the runner keeps once the shell execs it, as systemd sets
    // LISTEN_PID in the forked child.
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string script = "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\"";
    char* argv[] = {shell.data(), dashC.data(), script.data(), runner_.data(), nullptr};
    char* environment[] = {nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, shell.c_str(), &actions, nullptr, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0) {
        const std::lock_guard guard(lock_);
        started_.emplace_back(pid);
    }
}

}  // namespace tavelin::testing
