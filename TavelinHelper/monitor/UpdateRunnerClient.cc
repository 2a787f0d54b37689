#include "TavelinHelper/monitor/UpdateRunnerClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "TavelinHelper/runner/UpdateRunnerProtocol.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

namespace {

using Clock = std::chrono::steady_clock;

// SIGKILL's number: the status a tool killed for taking too long reports.
constexpr std::int32_t killedStatus = 9;
constexpr std::int32_t lostStatus = -1;

Expected<UniqueFd, SystemError> connectToRunner(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        return systemError(ENAMETOOLONG, "connect", socketPath);
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    UniqueFd connection(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!connection) {
        return lastSystemError("socket");
    }
    if (retryOnInterrupt([&] {
            return ::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address),
                             sizeof address);
        }) != 0) {
        return lastSystemError("connect", socketPath);
    }
    return connection;
}

// Milliseconds from now until `deadline`, rounded up, at most INT_MAX (poll again then).
int millisecondsUntil(Clock::time_point deadline) {
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(remaining.count(), 0, INT_MAX));
}

// Waits for the next message until `deadline`: true when one (or the hang-up) is there.
bool awaitMessage(int connection, Clock::time_point deadline) {
    for (;;) {
        pollfd readable{connection, POLLIN, 0};
        const int timeout = millisecondsUntil(deadline);
        const int ready = ::poll(&readable, 1, timeout);
        if (ready > 0) {
            return true;
        }
        if ((ready == 0 && timeout == 0) || (ready < 0 && errno != EINTR)) {
            return false;
        }
    }
}

}  // namespace

Expected<std::int32_t, SystemError> runUpdateToolThroughRunner(const std::string& socketPath,
                                                               const ToolRunLimits& limits,
                                                               const OutputConsumer& consume) {
    auto connected = connectToRunner(socketPath);
    if (!connected) {
        return Unexpected(std::move(connected).error());
    }
    // Closing it on any way out is the hang-up that makes the runner kill the tool.
    const UniqueFd connection = std::move(connected).value();
    const Clock::time_point timeUp = Clock::now() + limits.timeout;
    // One byte more than the longest message, so that MSG_TRUNC shows a longer one.
    std::string buffer(runner::maxFrameSize + 1, '\0');
    for (;;) {
        if (!awaitMessage(connection.get(), timeUp)) {
            return killedStatus;
        }
        const ssize_t length = retryOnInterrupt(
            [&] { return ::recv(connection.get(), buffer.data(), buffer.size(), MSG_TRUNC); });
        if (length <= 0 || static_cast<std::size_t>(length) > runner::maxFrameSize) {
            return lostStatus;
        }
        const auto frame =
            runner::decodeFrame(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
        if (!frame) {
            return lostStatus;
        }
        switch (frame->type) {
            case runner::FrameType::output:
                consume(frame->output);
                break;
            case runner::FrameType::ended:
                return frame->number;
            case runner::FrameType::startFailed:
                return systemError(frame->number, "update runner: start");
        }
    }
}

}  // namespace tavelin
