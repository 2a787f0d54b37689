#include "TavelinPlatform/ipc/UnixSocket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin {
namespace {

struct AbstractAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

// The address of an abstract name: sun_path = NUL + name, length counting exactly those
// bytes (a trailing NUL would make it a different name).
[[nodiscard]] std::optional<AbstractAddress> abstractAddress(std::string_view name) {
    if (name.empty() || name.size() > maxAbstractNameLength()) {
        return std::nullopt;
    }
    AbstractAddress result;
    result.address.sun_family = AF_UNIX;
    result.address.sun_path[0] = '\0';
    std::memcpy(&result.address.sun_path[1], name.data(), name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return result;
}

struct SocketAndAddress {
    UniqueFd fd;
    AbstractAddress address;
};

// A fresh stream socket and the address of `name`, for binding or connecting.
[[nodiscard]] Expected<SocketAndAddress, SystemError> socketFor(std::string_view name) {
    const auto address = abstractAddress(name);
    if (!address) {
        return systemError(ENAMETOOLONG, "name");
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return lastSystemError("socket");
    }
    return SocketAndAddress{std::move(fd), *address};
}

// Connects the prepared socket to its address.
[[nodiscard]] Expected<UniqueFd, SystemError> connectPrepared(SocketAndAddress prepared) {
    const int fd = prepared.fd.get();
    const AbstractAddress& address = prepared.address;
    // A unix stream connect only sleeps while the listener's backlog is full; one
    // interrupted there leaves the socket unconnected, so it is simply repeated.
    if (retryOnInterrupt([&] {
            return ::connect(fd, reinterpret_cast<const sockaddr*>(&address.address),
                             address.length);
        }) != 0) {
        return lastSystemError("connect");
    }
    return std::move(prepared.fd);
}

// SO_SNDTIMEO: how long a send, or a connect, may sleep; zero is no limit.
[[nodiscard]] bool setSendTimeout(int fd, std::chrono::microseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timeval value{static_cast<time_t>(seconds.count()),
                        static_cast<suseconds_t>((timeout - seconds).count())};
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) == 0;
}

}  // namespace

std::size_t maxAbstractNameLength() noexcept {
    return sizeof(sockaddr_un::sun_path) - 1;
}

Expected<UniqueFd, SystemError> listenOnAbstractName(std::string_view name, int backlog) {
    auto prepared = socketFor(name);
    if (!prepared) {
        return Unexpected(std::move(prepared).error());
    }
    auto& [fd, address] = *prepared;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) !=
        0) {
        return lastSystemError("bind");
    }
    if (::listen(fd.get(), backlog) != 0) {
        return lastSystemError("listen");
    }
    return std::move(fd);
}

std::string listeningNameOf(int socketFd) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path)) {
        return {};
    }
    const std::size_t pathLength = length - offsetof(sockaddr_un, sun_path);
    if (address.sun_path[0] == '\0') {
        return std::string(address.sun_path + 1, pathLength - 1);
    }
    return std::string(address.sun_path, ::strnlen(address.sun_path, pathLength));
}

Expected<UniqueFd, SystemError> connectToAbstractName(std::string_view name) {
    auto prepared = socketFor(name);
    if (!prepared) {
        return Unexpected(std::move(prepared).error());
    }
    return connectPrepared(std::move(*prepared));
}

Expected<UniqueFd, SystemError> connectToAbstractName(std::string_view name,
                                                      std::chrono::microseconds timeout) {
    auto prepared = socketFor(name);
    if (!prepared) {
        return Unexpected(std::move(prepared).error());
    }
    // The send timeout is what a unix stream connect sleeps by; zero would mean for ever.
    const std::chrono::microseconds bounded = std::max(timeout, std::chrono::microseconds(1));
    if (!setSendTimeout(prepared->fd.get(), bounded)) {
        return lastSystemError("setsockopt SO_SNDTIMEO");
    }
    auto connected = connectPrepared(std::move(*prepared));
    if (connected && !setSendTimeout(connected->get(), std::chrono::microseconds(0))) {
        return lastSystemError("setsockopt SO_SNDTIMEO");
    }
    return connected;
}

Expected<UniqueFd, SystemError> acceptConnection(int listeningFd) {
    const int fd =
        retryOnInterrupt([&] { return ::accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC); });
    if (fd < 0) {
        return lastSystemError("accept4");
    }
    return UniqueFd(fd);
}

Status<SystemError> sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent =
            retryOnInterrupt([&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); });
        if (sent < 0) {
            return lastSystemError("send");
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return {};
}

Status<SystemError> receiveSome(int fd, std::string& buffer, std::size_t capacity) {
    buffer.resize(capacity);
    const ssize_t received =
        retryOnInterrupt([&] { return ::recv(fd, buffer.data(), capacity, 0); });
    if (received < 0) {
        auto error = lastSystemError("recv");
        buffer.clear();
        return error;
    }
    buffer.resize(static_cast<std::size_t>(received));
    return {};
}

Expected<PeerCredentials, SystemError> peerCredentials(int socketFd) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return lastSystemError("getsockopt(SO_PEERCRED)");
    }
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

}  // namespace tavelin
