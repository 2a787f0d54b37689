#include "TavelinPlatform/ipc/SenderPidfd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

// Room for the one SCM_CREDENTIALS we expect plus a few stray descriptors we must close.
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

// Takes the sender's credentials out of the control block; any other content disqualifies
// the chunk, and every descriptor in it is closed.
void takeSender(msghdr& header, ReceivedChunk& chunk) {
    bool clean = (header.msg_flags & MSG_CTRUNC) == 0;
    bool senderSeen = false;
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        const bool carriesDescriptors =
            message->cmsg_level == SOL_SOCKET &&
            (message->cmsg_type == SCM_PIDFD || message->cmsg_type == SCM_RIGHTS);
        if (message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_CREDENTIALS &&
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
        chunk.senderPid = 0;
    }
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
    if (pidfd < 0) {
        return std::nullopt;
    }
    ProcessIdentity identity;
    identity.pidfd_ = pidfd;
    identity.pid_ = pid;
    return identity;
}

bool ProcessIdentity::matchesPid(pid_t pid) const {
    // A pidfd turns readable once its process has exited; until then the pid cannot have
    // been handed to another process.
    pollfd exited{pidfd_, POLLIN, 0};
    return pid > 0 && pid == pid_ && ::poll(&exited, 1, 0) == 0;
}

}  // namespace tavelin
