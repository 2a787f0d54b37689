#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <string_view>

#include "TavelinHelper/common/ToolRun.h"
#include "TavelinPlatform/core/Mutex.h"

namespace tavelin {

// The state one tool run shares between the thread that reads the pipe and the thread that
// runs the tool: the consumer the output goes to, whether reading has ended, and what the
// consumer threw. Every access holds the lock, and the lock is held for nothing else: never
// while reading the pipe or waiting for the child. Nothing of the output is kept here; what
// the consumer keeps is its own business.
class LockedData {
  public:
    // `consume` must outlive this object.
    explicit LockedData(const OutputConsumer& consume) : consume_(consume) {}
    LockedData(const LockedData&) = delete;
    LockedData& operator=(const LockedData&) = delete;

    // Collecting thread: hands `bytes` to the consumer. Once the consumer has thrown, bytes
    // are dropped instead, so the pipe is still drained and the tool can finish; the
    // exception waits for the runner.
    void append(std::string_view bytes) noexcept {
        const MutexLock guard(lock_);
        if (failure_) {
            return;
        }
        try {
            consume_(bytes);
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    // Collecting thread: nothing more will be read.
    void finish() noexcept {
        {
            const MutexLock guard(lock_);
            finished_ = true;
        }
        readingEnded_.notify_all();
    }

    // Runner: waits until finish() was called or `deadline` has passed; true if finished.
    [[nodiscard]] bool awaitFinish(std::chrono::steady_clock::time_point deadline) {
        const MutexLock guard(lock_);
        while (!finished_) {
            if (lock_.waitUntil(readingEnded_, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        return finished_;
    }

    // Runner: what the consumer threw, if anything.
    [[nodiscard]] std::exception_ptr failure() const {
        const MutexLock guard(lock_);
        return failure_;
    }

  private:
    mutable Mutex lock_;
    std::condition_variable readingEnded_;
    const OutputConsumer& consume_;
    bool finished_ GUARDED_BY(lock_) = false;
    std::exception_ptr failure_ GUARDED_BY(lock_);
};

}  // namespace tavelin
