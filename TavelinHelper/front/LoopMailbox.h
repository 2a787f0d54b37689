#pragma once

#include <deque>
#include <functional>

#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// Hands work to the event loop's thread from any other thread: post() queues a task and
// makes the mailbox's descriptor readable; the loop, woken by it, runs everything queued
// with runPosted(). Tasks run on the loop thread, one after another, in the order posted.
class LoopMailbox {
  public:
    LoopMailbox();
    LoopMailbox(const LoopMailbox&) = delete;
    LoopMailbox& operator=(const LoopMailbox&) = delete;

    // The descriptor the loop watches for readability (an eventfd); -1 when none could be
    // made (out of descriptors), which the loop's set-up reports.
    [[nodiscard]] int descriptor() const noexcept { return event_.get(); }

    // Thread-safe; never throws. A task that cannot even be queued (out of memory) is
    // lost, and with it whatever its owner waited for.
    void post(std::function<void()> task) noexcept;

    // On the loop thread: runs every task posted so far. A task that throws is dropped.
    void runPosted();

  private:
    UniqueFd event_;
    Mutex mutex_;
    std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
};

}  // namespace tavelin
