#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "SystemError.h"
#include "UniqueFd.h"

namespace tavelin {

// Hands work to the event loop's thread from any other thread: post() queues a task and
// makes the mailbox's descriptor readable; the loop, woken by it, runs everything queued
// with runPosted(). Tasks run on the loop thread, one after another, in the order posted.
class LoopMailbox {
  public:
    [[nodiscard]] static Expected<LoopMailbox, SystemError> create();

    LoopMailbox(LoopMailbox&& other) noexcept;
    LoopMailbox& operator=(LoopMailbox&&) = delete;
    LoopMailbox(const LoopMailbox&) = delete;
    LoopMailbox& operator=(const LoopMailbox&) = delete;
    ~LoopMailbox() = default;

    // The descriptor the loop watches for readability (an eventfd).
    [[nodiscard]] int descriptor() const noexcept { return event_.get(); }

    // Thread-safe. A task that throws is dropped by runPosted(), never propagated.
    void post(std::function<void()> task);

    // On the loop thread: runs every task posted so far.
    void runPosted();

  private:
    explicit LoopMailbox(UniqueFd event) : event_(std::move(event)) {}

    UniqueFd event_;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

}  // namespace tavelin
