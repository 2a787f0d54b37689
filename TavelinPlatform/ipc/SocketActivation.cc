#include "TavelinPlatform/ipc/SocketActivation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {
namespace {

static_assert(firstActivatedFd == SD_LISTEN_FDS_START);

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

// sd_listen_fds removes them too, but only when it is called.
void forgetActivationVariables() {
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
}

// Succeeds when `fd` is an AF_UNIX socket of `type` that listens (or, for a connection
// handed over by a socket unit with Accept=yes, does not).
[[nodiscard]] Status<SystemError> checkUnixSocket(int fd, int type, bool listening) {
    const std::string context = "descriptor " + std::to_string(fd);
    if (sd_is_socket(fd, AF_UNSPEC, 0, -1) <= 0) {
        return systemError(ENOTSOCK, context);
    }
    if (sd_is_socket_unix(fd, type, listening ? 1 : 0, nullptr, 0) <= 0) {
        return systemError(EINVAL, context);
    }
    return {};
}

// The first descriptor handed over that is not open: the one sd_listen_fds failed on.
[[nodiscard]] int firstClosed(int count) {
    int fd = firstActivatedFd;
    while (fd < firstActivatedFd + count - 1 && ::fcntl(fd, F_GETFD) >= 0) {
        ++fd;
    }
    return fd;
}

// The count of descriptors handed to this process, each close-on-exec now; nothing when
// none were (LISTEN_PID unset, unparsable or another process's). The variables are gone
// from the environment afterwards either way. Our own reading of the variables comes
// first, as sd_listen_fds takes a LISTEN_PID it cannot parse for an error, a missing
// LISTEN_FDS for none and any count for valid.
[[nodiscard]] Expected<std::optional<int>, SystemError> handedOverCount() {
    const auto listenPid =
        parseDecimal(std::getenv("LISTEN_PID"));  // NOLINT(concurrency-mt-unsafe)
    const auto listenFds =
        parseDecimal(std::getenv("LISTEN_FDS"));  // NOLINT(concurrency-mt-unsafe)
    if (!listenPid || *listenPid != static_cast<long>(::getpid())) {
        forgetActivationVariables();
        return std::optional<int>{};
    }
    if (!listenFds || *listenFds < 1 || *listenFds > maxActivatedSockets) {
        forgetActivationVariables();
        return systemError(EINVAL, "LISTEN_FDS");
    }
    const auto count = static_cast<int>(*listenFds);
    const int taken = sd_listen_fds(1);
    if (taken < 0) {
        return systemError(-taken, "fcntl(" + std::to_string(firstClosed(count)) + ")");
    }
    if (taken != count) {
        return systemError(EINVAL, "LISTEN_FDS");  // read otherwise there: never guessed at
    }
    return std::optional<int>(count);
}

[[nodiscard]] Expected<std::optional<UniqueFd>, SystemError> takeHandedOver(int count, int type,
                                                                            bool listening) {
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
