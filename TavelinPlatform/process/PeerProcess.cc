#include "TavelinPlatform/process/PeerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/process/Pidfd.h"

namespace tavelin {

namespace {

constexpr std::size_t maximumStatusSize = std::size_t{64} * 1024;

// True while the process behind the pidfd has not been reaped. A process of another user
// answers EPERM, which still proves that it exists.
bool isAlive(int pidfd) {
    if (::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0U) == 0) {
        return true;
    }
    return errno == EPERM;
}

int openAt(int directoryFd, const char* name, int flags) {
    return retryOnInterrupt([&] { return ::openat(directoryFd, name, flags | O_CLOEXEC); });
}

bool readAll(int fd, std::string& text) {
    char buffer[4096];
    while (text.size() < maximumStatusSize) {
        const ssize_t count = retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return false;
}

// The number after "TracerPid:" in a status text, or -1 when there is none.
long tracerPidOf(std::string_view status) {
    constexpr std::string_view key = "\nTracerPid:";
    const auto position = status.find(key);
    if (position == std::string_view::npos) {
        return -1;
    }
    auto rest = status.substr(position + key.size());
    while (!rest.empty() && (rest.front() == '\t' || rest.front() == ' ')) {
        rest.remove_prefix(1);
    }
    long tracer = -1;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), tracer);
    if (error != std::errc{} || end == rest.data()) {
        return -1;
    }
    return tracer;
}

// Field 22 of a stat line, counted after the command name in parentheses (which may hold
// spaces and parentheses itself, so the last ')' ends it).
std::optional<std::uint64_t> startTimeIn(std::string_view stat) {
    constexpr std::size_t fieldsBeforeStartTime = 19;  // fields 3 to 21
    const auto nameEnd = stat.rfind(')');
    if (nameEnd == std::string_view::npos) {
        return std::nullopt;
    }
    auto rest = stat.substr(nameEnd + 1);
    for (std::size_t field = 0; field <= fieldsBeforeStartTime; ++field) {
        const auto start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(start);
        if (field < fieldsBeforeStartTime) {
            rest.remove_prefix(std::min(rest.size(), rest.find(' ')));
        }
    }
    std::uint64_t ticks = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), ticks);
    if (error != std::errc{} || end == rest.data() ||
        (end != rest.data() + rest.size() && *end != ' ')) {
        return std::nullopt;
    }
    return ticks;
}

}  // namespace

std::optional<std::uint64_t> startTimeOf(int peerDirectory) {
    const UniqueFd statFile(openAt(peerDirectory, "stat", O_RDONLY));
    std::string text;
    if (!statFile || !readAll(statFile.get(), text)) {
        return std::nullopt;
    }
    return startTimeIn(text);
}

UniqueFd openPeerDirectory(const PeerProcess& peer) {
    if (!peer.pidfd || peer.pid <= 0) {
        return UniqueFd{};
    }
    const std::string path = "/proc/" + std::to_string(peer.pid);
    UniqueFd directory(openAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY));
    if (!directory || !isAlive(peer.pidfd.get())) {
        return UniqueFd{};
    }
    return directory;
}

std::optional<PeerProcess> peerProcessOfSocket(int socketFd) {
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials || credentials.pid <= 0) {
        return std::nullopt;
    }
    UniqueFd pidfd = peerPidfdOf(socketFd);
    if (!pidfd && (errno == ENOPROTOOPT || errno == EINVAL)) {
        // Kernel before 6.5: pin the pid now. If the peer is already gone and its pid
        // reused, this pidfd names the newcomer; see docs/code-signing.md.
        pidfd = openPidfd(credentials.pid).value_or(UniqueFd());
    }
    if (!pidfd) {
        return std::nullopt;
    }
    return PeerProcess{std::move(pidfd), credentials.pid, credentials.uid, credentials.gid};
}

Expected<PeerEvidence, SystemError> inspectPeer(const PeerProcess& peer, const CodeTrust& trust) {
    const UniqueFd directory = openPeerDirectory(peer);
    if (!directory) {
        return systemError(ESRCH, "/proc", std::to_string(peer.pid));
    }
    PeerEvidence evidence{peer.pid, peer.uid, peer.gid, 0, UniqueFd()};
    evidence.executable.reset(openAt(directory.get(), "exe", O_RDONLY));
    if (!evidence.executable) {
        return lastSystemError("open exe of", std::to_string(peer.pid));
    }
    struct stat status {};
    if (::fstat(evidence.executable.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return systemError(EACCES, "exe of", std::to_string(peer.pid));
    }
    evidence.code = trust.clientGroup && peer.gid != *trust.clientGroup
                        ? PeerCodeFinding::withoutClientGroup
                        : examinePeerCode(directory.get(), status, trust);
    const UniqueFd statusFile(openAt(directory.get(), "status", O_RDONLY));
    std::string text;
    const long tracer = statusFile && readAll(statusFile.get(), text) ? tracerPidOf(text) : -1;
    if (tracer < 0) {
        return systemError(EIO, "status of", std::to_string(peer.pid));
    }
    evidence.tracerPid = static_cast<pid_t>(tracer);
    return evidence;
}

bool stillRuns(int peerDirectory, const ExecutableIdentity& executable) {
    struct stat status {};
    return ::fstatat(peerDirectory, "exe", &status, 0) == 0 &&
           ExecutableIdentity{status.st_dev, status.st_ino} == executable;
}

}  // namespace tavelin
