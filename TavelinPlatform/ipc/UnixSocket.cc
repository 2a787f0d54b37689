#include "UnixSocket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

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

[[nodiscard]] SystemError lastError(std::string context) {
    return SystemError{errno, std::move(context)};
}

[[nodiscard]] std::variant<UniqueFd, SystemError> newStreamSocket() {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return lastError("socket");
    }
    return fd;
}

struct SocketAndAddress {
    UniqueFd fd;
    AbstractAddress address;
};

// A fresh stream socket and the address of `name`, for binding or connecting.
[[nodiscard]] std::variant<SocketAndAddress, SystemError> socketFor(std::string_view name) {
    const auto address = abstractAddress(name);
    if (!address) {
        return SystemError{ENAMETOOLONG, "name"};
    }
    auto socket = newStreamSocket();
    if (auto* error = std::get_if<SystemError>(&socket)) {
        return std::move(*error);
    }
    return SocketAndAddress{std::get<UniqueFd>(std::move(socket)), *address};
}

}  // namespace

std::size_t maxAbstractNameLength() noexcept {
    return sizeof(sockaddr_un::sun_path) - 1;
}

std::variant<UniqueFd, SystemError> listenOnAbstractName(std::string_view name, int backlog) {
    auto prepared = socketFor(name);
    if (auto* error = std::get_if<SystemError>(&prepared)) {
        return std::move(*error);
    }
    auto& [fd, address] = std::get<SocketAndAddress>(prepared);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) !=
        0) {
        return lastError("bind");
    }
    if (::listen(fd.get(), backlog) != 0) {
        return lastError("listen");
    }
    return std::move(fd);
}

std::variant<UniqueFd, SystemError> connectToAbstractName(std::string_view name) {
    auto prepared = socketFor(name);
    if (auto* error = std::get_if<SystemError>(&prepared)) {
        return std::move(*error);
    }
    auto& [fd, address] = std::get<SocketAndAddress>(prepared);
    // A unix stream connect only sleeps while the listener's backlog is full; one
    // interrupted there leaves the socket unconnected, so it is simply repeated.
    while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.address),
                     address.length) != 0) {
        if (errno != EINTR) {
            return lastError("connect");
        }
    }
    return std::move(fd);
}

std::variant<UniqueFd, SystemError> acceptConnection(int listeningFd) {
    for (;;) {
        const int fd = ::accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            return UniqueFd(fd);
        }
        if (errno != EINTR) {
            return lastError("accept4");
        }
    }
}

std::optional<SystemError> sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastError("send");
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return std::nullopt;
}

std::optional<SystemError> receiveSome(int fd, std::string& buffer, std::size_t capacity) {
    buffer.resize(capacity);
    for (;;) {
        const ssize_t received = ::recv(fd, buffer.data(), capacity, 0);
        if (received >= 0) {
            buffer.resize(static_cast<std::size_t>(received));
            return std::nullopt;
        }
        if (errno != EINTR) {
            buffer.clear();
            return lastError("recv");
        }
    }
}

std::variant<PeerCredentials, SystemError> peerCredentials(int socketFd) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return lastError("getsockopt(SO_PEERCRED)");
    }
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

}  // namespace tavelin
