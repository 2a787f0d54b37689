#pragma once

#include <chrono>
#include <optional>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// One thread's wait for a descriptor that several threads read by turns. Every waiter
// watches the descriptor through an epoll instance of its own, registered exclusive, so
// that the kernel wakes one waiting thread (not all) when it turns readable, and wakes
// none of ours when a thread already busy with it is the one to read: a request's path
// then crosses no hand-off between threads. Waiters also watch a shared stop descriptor
// (an eventfd, level-triggered), which once written wakes every one of them for good.
class ChannelWaiter {
  public:
    enum class Awaited {
        readable,  // the descriptor may be read (another thread may have been quicker)
        stopped,   // the stop descriptor was written: leave
        timedOut,  // the wait's limit passed
    };

    // Nothing when no epoll instance can be made or watch them (out of descriptors or
    // memory). Both descriptors are borrowed and must outlive the waiter.
    [[nodiscard]] static Expected<ChannelWaiter, SystemError> watch(int descriptor, int stop);

    // Waits at most `limit` (none: without limit).
    [[nodiscard]] Awaited await(std::optional<std::chrono::milliseconds> limit) const;

  private:
    explicit ChannelWaiter(UniqueFd epoll) : epoll_(std::move(epoll)) {}

    UniqueFd epoll_;
};

// Makes `stop` (an eventfd) readable, which every waiter watching it sees from then on.
void stopWaiters(int stop) noexcept;

}  // namespace tavelin
