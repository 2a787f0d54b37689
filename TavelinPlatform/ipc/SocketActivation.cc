#include "SocketActivation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {
namespace {

// A whole-string decimal number without sign or blanks; nothing otherwise.
[[nodiscard]] std::optional<long> parseDecimal(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::string_view view(text);
    if (view.empty() || view.front() < '0' || view.front() > '9') {
        return std::nullopt;
    }
    long value = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc() || end != view.data() + view.size()) {
        return std::nullopt;
    }
    return value;
}

void forgetActivationVariables() {
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
}

[[nodiscard]] Status<SystemError> setCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
        return lastSystemError("fcntl(" + std::to_string(fd) + ")");
    }
    return {};
}

[[nodiscard]] std::optional<int> intSocketOption(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof(value);
    if (::getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0) {
        return std::nullopt;
    }
    return value;
}

// Succeeds when `fd` is an AF_UNIX socket of `type` that listens (or, for a connection
// handed over by a socket unit with Accept=yes, does not).
[[nodiscard]] Status<SystemError> checkUnixSocket(int fd, int type, bool listening) {
    const auto domain = intSocketOption(fd, SO_DOMAIN);
    const auto actualType = intSocketOption(fd, SO_TYPE);
    const auto acceptsConnections = intSocketOption(fd, SO_ACCEPTCONN);
    const std::string context = "descriptor " + std::to_string(fd);
    if (!domain || !actualType || !acceptsConnections) {
        return systemError(ENOTSOCK, context);
    }
    if (*domain != AF_UNIX || *actualType != type || (*acceptsConnections != 0) != listening) {
        return systemError(EINVAL, context);
    }
    return {};
}

// The count of descriptors handed to this process, nothing when none were (LISTEN_PID
// unset, unparsable or another process's); the variables are gone from the environment
// afterwards either way.
[[nodiscard]] Expected<std::optional<int>, SystemError> handedOverCount() {
    const auto listenPid =
        parseDecimal(std::getenv("LISTEN_PID"));  // NOLINT(concurrency-mt-unsafe)
    const auto listenFds =
        parseDecimal(std::getenv("LISTEN_FDS"));  // NOLINT(concurrency-mt-unsafe)
    forgetActivationVariables();
    if (!listenPid || *listenPid != static_cast<long>(::getpid())) {
        return std::optional<int>{};
    }
    if (!listenFds || *listenFds < 1 || *listenFds > maxActivatedSockets) {
        return systemError(EINVAL, "LISTEN_FDS");
    }
    return std::optional<int>(static_cast<int>(*listenFds));
}

[[nodiscard]] Expected<std::optional<UniqueFd>, SystemError> takeHandedOver(int count, int type,
                                                                            bool listening) {
    for (int fd = firstActivatedFd; fd < firstActivatedFd + count; ++fd) {
        if (auto closing = setCloseOnExec(fd); !closing) {
            return Unexpected(std::move(closing).error());
        }
    }
    if (auto checked = checkUnixSocket(firstActivatedFd, type, listening); !checked) {
        return Unexpected(std::move(checked).error());
    }
    for (int fd = firstActivatedFd + 1; fd < firstActivatedFd + count; ++fd) {
        ::close(fd);
    }
    return std::optional<UniqueFd>(UniqueFd(firstActivatedFd));
}

[[nodiscard]] Expected<std::optional<UniqueFd>, SystemError> takeActivated(int type,
                                                                           bool listening) {
    const auto count = handedOverCount();
    if (!count) {
        return Unexpected(count.error());
    }
    if (!*count) {
        return std::optional<UniqueFd>{};
    }
    return takeHandedOver(**count, type, listening);
}

}  // namespace

Expected<std::optional<UniqueFd>, SystemError> takeActivatedSocket() {
    return takeActivated(SOCK_STREAM, true);
}

Expected<std::optional<UniqueFd>, SystemError> takeActivatedConnection(int type) {
    return takeActivated(type, false);
}

}  // namespace tavelin
