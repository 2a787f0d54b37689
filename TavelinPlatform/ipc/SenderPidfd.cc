#include "TavelinPlatform/ipc/SenderPidfd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/process/Pidfd.h"

// Older C library headers do not know it yet; the value is the kernel's ABI.
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace tavelin {
namespace {

constexpr long pidfsMagic = 0x50494446;

// Room for the one SCM_PIDFD or SCM_CREDENTIALS we expect plus a few stray descriptors we
// must close.
constexpr std::size_t controlSize = CMSG_SPACE(sizeof(int) * 16) + CMSG_SPACE(sizeof(ucred));

// Closes every descriptor of an SCM_RIGHTS or SCM_PIDFD message that we will not keep.
void closeDescriptors(const cmsghdr* message) {
    const std::size_t count = (message->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(message) + i * sizeof(int), sizeof(int));
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// Takes the sender (pidfd or credentials) out of the control block; any other content
// disqualifies the chunk, and every descriptor in it is closed.
void takeSender(msghdr& header, ReceivedChunk& chunk) {
    UniqueFd& pidfd = chunk.senderPidfd;
    bool clean = (header.msg_flags & MSG_CTRUNC) == 0;
    bool senderSeen = false;
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        const bool carriesDescriptors =
            message->cmsg_level == SOL_SOCKET &&
            (message->cmsg_type == SCM_PIDFD || message->cmsg_type == SCM_RIGHTS);
        if (message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_PIDFD &&
            message->cmsg_len == CMSG_LEN(sizeof(int)) && !senderSeen) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(message), sizeof(int));
            pidfd.reset(fd);
            senderSeen = true;
        } else if (message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_CREDENTIALS &&
                   message->cmsg_len == CMSG_LEN(sizeof(ucred)) && !senderSeen) {
            ucred credentials{};
            std::memcpy(&credentials, CMSG_DATA(message), sizeof credentials);
            chunk.senderPid = credentials.pid;
            senderSeen = true;
        } else {
            clean = false;
            if (carriesDescriptors) {
                closeDescriptors(message);
            }
        }
    }
    if (!clean) {
        pidfd.reset();
        chunk.senderPid = 0;
    }
}

// The "Pid:" value of a pidfd's fdinfo; nothing when unreadable.
[[nodiscard]] std::optional<long> fdinfoPid(int pidfd) {
    const std::string name = "/proc/self/fdinfo/" + std::to_string(pidfd);
    const UniqueFd info(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 1024> buffer{};
    const ssize_t count =
        info ? retryOnInterrupt([&] { return ::read(info.get(), buffer.data(), buffer.size()); })
             : -1;
    if (count <= 0) {
        return std::nullopt;
    }
    const std::string_view text(buffer.data(), static_cast<std::size_t>(count));
    const std::size_t line = text.find("\nPid:");
    if (line == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t start = line + 5;
    while (start < text.size() && (text[start] == '\t' || text[start] == ' ')) {
        ++start;
    }
    long pid = 0;
    const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), pid);
    if (error != std::errc() || end == text.data() + start) {
        return std::nullopt;
    }
    return pid;
}

[[nodiscard]] bool isOnPidfs(int fd) {
    struct statfs info {};
    return ::fstatfs(fd, &info) == 0 && static_cast<long>(info.f_type) == pidfsMagic;
}

}  // namespace

Status<SystemError> enableSenderPidfds(int socketFd) {
    const int on = 1;
    if (::setsockopt(socketFd, SOL_SOCKET, passPidfdOption, &on, sizeof(on)) != 0) {
        return lastSystemError("setsockopt(SO_PASSPIDFD)");
    }
    return {};
}

Status<SystemError> checkSenderPidfdSupport() {
    std::array<int, 2> pair{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) {
        return lastSystemError("socketpair");
    }
    const UniqueFd first(pair[0]);
    const UniqueFd second(pair[1]);
    return enableSenderPidfds(first.get());
}

Expected<SenderIdentification, SystemError> senderIdentificationOfKernel() {
    const auto own = openPidfd(::getpid());
    if (!own) {
        return Unexpected(own.error());
    }
    return checkSenderPidfdSupport() && isOnPidfs(own->get()) ? SenderIdentification::pidfds
                                                              : SenderIdentification::credentials;
}

Status<SystemError> enableSenderCredentials(int socketFd) {
    const int on = 1;
    if (::setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) {
        return lastSystemError("setsockopt(SO_PASSCRED)");
    }
    return {};
}

Expected<ReceivedChunk, SystemError> receiveWithSender(int socketFd, char* buffer,
                                                       std::size_t capacity) {
    alignas(cmsghdr) std::array<char, controlSize> control{};
    iovec vector{buffer, capacity};
    msghdr header{};
    const ssize_t received = retryOnInterrupt([&] {
        header = msghdr{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        return ::recvmsg(socketFd, &header, MSG_CMSG_CLOEXEC);
    });
    if (received < 0) {
        return lastSystemError("recvmsg");
    }
    ReceivedChunk chunk;
    chunk.size = static_cast<std::size_t>(received);
    takeSender(header, chunk);
    return chunk;
}

std::optional<ProcessIdentity> ProcessIdentity::of(int pidfd, pid_t pid) {
    struct stat info {};
    if (pidfd < 0 || ::fstat(pidfd, &info) != 0) {
        return std::nullopt;
    }
    ProcessIdentity identity;
    identity.pidfd_ = pidfd;
    identity.pid_ = pid;
    identity.onPidfs_ = isOnPidfs(pidfd);
    identity.device_ = info.st_dev;
    identity.inode_ = info.st_ino;
    return identity;
}

bool ProcessIdentity::matches(int otherPidfd) const {
    struct stat other {};
    if (otherPidfd < 0 || ::fstat(otherPidfd, &other) != 0) {
        return false;
    }
    if (onPidfs_) {
        // Every pidfd lives on the one pidfs instance, so the same device means pidfs and
        // the inode names the process.
        return other.st_dev == device_ && other.st_ino == inode_;
    }
    // Before pidfs every pidfd was an anonymous inode; only the pid tells them apart.
    // A pidfd of a process that has been reaped shows a pid of -1 (or 0), never a
    // recycled number, so equal positive pids mean the same, still existing process.
    const auto pid = fdinfoPid(pidfd_);
    const auto otherPid = fdinfoPid(otherPidfd);
    return pid && otherPid && *pid > 0 && *pid == *otherPid;
}

bool ProcessIdentity::matchesPid(pid_t pid) const {
    // A pidfd turns readable once its process has exited; until then the pid cannot have
    // been handed to another process.
    pollfd exited{pidfd_, POLLIN, 0};
    return pid > 0 && pid == pid_ && ::poll(&exited, 1, 0) == 0;
}

bool isSameProcess(int pidfdA, int pidfdB) {
    const auto identity = ProcessIdentity::of(pidfdA, 0);
    return identity && identity->matches(pidfdB);
}

}  // namespace tavelin
