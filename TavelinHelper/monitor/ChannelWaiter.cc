#include "TavelinHelper/monitor/ChannelWaiter.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin {

namespace {

constexpr std::uint64_t descriptorKey = 1;
constexpr std::uint64_t stopKey = 2;

}  // namespace

Expected<ChannelWaiter, SystemError> ChannelWaiter::watch(int descriptor, int stop) {
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        return lastSystemError("epoll_create1");
    }
    epoll_event reading{};
    reading.events = EPOLLIN | EPOLLEXCLUSIVE;
    reading.data.u64 = descriptorKey;
    epoll_event stopping{};
    stopping.events = EPOLLIN;
    stopping.data.u64 = stopKey;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, descriptor, &reading) != 0 ||
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop, &stopping) != 0) {
        return lastSystemError("epoll_ctl");
    }
    return ChannelWaiter(std::move(epoll));
}

ChannelWaiter::Awaited ChannelWaiter::await(std::optional<std::chrono::milliseconds> limit) const {
    const int timeout =
        limit ? static_cast<int>(std::clamp<std::int64_t>(limit->count(), 0, INT32_MAX)) : -1;
    // Both at once when both are ready: stopping wins over reading.
    epoll_event events[2]{};
    const int ready =
        retryOnInterrupt([&] { return ::epoll_wait(epoll_.get(), events, 2, timeout); });
    if (ready == 0) {
        return Awaited::timedOut;
    }
    // epoll_wait fails only for a set that no further wait could mend: as stopped.
    if (ready < 0 || events[0].data.u64 == stopKey ||
        (ready == 2 && events[1].data.u64 == stopKey)) {
        return Awaited::stopped;
    }
    return Awaited::readable;
}

void stopWaiters(int stop) noexcept {
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter would overflow, far beyond one.
    static_cast<void>(!::write(stop, &one, sizeof one));
}

}  // namespace tavelin
