#include "TavelinPlatform/channel/ChannelSocket.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin::channel {

namespace {

// Room for the one descriptor we take and a few we must close when a peer sends more.
constexpr std::size_t controlSize = CMSG_SPACE(sizeof(int) * 8);

void closeAll(const cmsghdr* message) {
    const std::size_t count = (message->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t index = 0; index < count; ++index) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(message) + index * sizeof(int), sizeof(int));
        UniqueFd closing(fd);
    }
}

// The one descriptor of the control block; false when the block holds anything else.
bool takeDescriptor(msghdr& header, UniqueFd& descriptor) {
    bool clean = (header.msg_flags & MSG_CTRUNC) == 0;
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message != nullptr;
         message = CMSG_NXTHDR(&header, message)) {
        const bool rights = message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_RIGHTS;
        if (rights && message->cmsg_len == CMSG_LEN(sizeof(int)) && !descriptor) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(message), sizeof(int));
            descriptor.reset(fd);
            continue;
        }
        clean = false;
        if (rights) {
            closeAll(message);
        }
    }
    return clean;
}

}  // namespace

Expected<ChannelPair, SystemError> makeChannelPair() {
    std::array<int, 2> ends{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        return lastSystemError("socketpair");
    }
    return ChannelPair{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

Status<SystemError> sendDatagram(int socketFd, std::string_view bytes, int descriptor) {
    iovec vector{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    if (descriptor >= 0) {
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        cmsghdr* message = CMSG_FIRSTHDR(&header);
        message->cmsg_level = SOL_SOCKET;
        message->cmsg_type = SCM_RIGHTS;
        message->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(message), &descriptor, sizeof(int));
    }
    const ssize_t sent =
        retryOnInterrupt([&] { return ::sendmsg(socketFd, &header, MSG_NOSIGNAL); });
    if (sent < 0) {
        return lastSystemError("sendmsg");
    }
    return {};
}

Expected<Datagram, SystemError> receiveDatagram(int socketFd, bool wait) {
    Datagram datagram;
    datagram.bytes.resize(maxDatagramSize);
    iovec vector{datagram.bytes.data(), datagram.bytes.size()};
    alignas(cmsghdr) std::array<char, controlSize> control{};
    msghdr header{};
    const ssize_t received = retryOnInterrupt([&] {
        header = msghdr{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        return ::recvmsg(socketFd, &header, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
    });
    if (received < 0) {
        return lastSystemError("recvmsg");
    }
    const bool clean = takeDescriptor(header, datagram.descriptor);
    if (received == 0) {
        // Every message holds at least a header: nothing means the other side is gone.
        return systemError(ECONNRESET, "recvmsg");
    }
    if (!clean || (header.msg_flags & MSG_TRUNC) != 0) {
        return systemError(EBADMSG, "recvmsg");
    }
    datagram.bytes.resize(static_cast<std::size_t>(received));
    return datagram;
}

}  // namespace tavelin::channel
