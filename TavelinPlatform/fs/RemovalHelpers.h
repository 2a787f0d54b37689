#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <thread>

#include "TavelinPlatform/core/Mutex.h"

namespace tavelin {

// The most threads that work on one removal at once: the thread that asked for it and up
// to maxRemovalThreads - 1 helpers, fewer on a machine with fewer cores. The helpers are
// shared by every removal of the process, so this also bounds the removal threads of the
// whole process, however many removals run at once.
inline constexpr std::size_t maxRemovalThreads = 4;

// Helper threads that take over part of a removal when one of them is idle. A
// removal never waits for one: when none is idle (or none can be started), the thread
// offering the work does it itself. A helper is started when work finds none idle,
// up to the pool's limit, and kept from then on; a thread that cannot be started is not
// an error, the offer is just declined.
class RemovalHelpers {
  public:
    static constexpr std::size_t maxHelpers = maxRemovalThreads - 1;

    // A job for a helper: called once as run(context) on the helper's thread. It must not
    // throw.
    struct Job {
        void (*run)(void* context) noexcept = nullptr;
        void* context = nullptr;
    };

    // Up to `helpers` threads (at most maxHelpers), none started yet.
    explicit RemovalHelpers(std::size_t helpers);
    RemovalHelpers(const RemovalHelpers&) = delete;
    RemovalHelpers& operator=(const RemovalHelpers&) = delete;
    // Lets the running jobs end, then joins every helper.
    ~RemovalHelpers();

    // The process's pool: min(maxRemovalThreads, the cores this process may run on) - 1
    // helpers. Made at its first use and never destroyed (its idle helpers are simply
    // there when the process ends).
    [[nodiscard]] static RemovalHelpers& shared();

    // Hands `job` to an idle helper, starting one if fewer than the limit live, and
    // answers true; answers false at once when none is idle and none can be started, and
    // always in a child forked from the process that made the pool (its helpers stayed in
    // the parent).
    [[nodiscard]] bool tryRun(Job job) EXCLUDES(mutex_);

    // False when no helper can take a job now (all started and busy): a cheap look before
    // preparing one. A true answer may still be followed by a declined tryRun.
    [[nodiscard]] bool mayHaveIdle() const noexcept {
        return idleOrUnstarted_.load(std::memory_order_relaxed) > 0;
    }

    // The most helpers it has.
    [[nodiscard]] std::size_t limit() const noexcept { return limit_; }

    // Jobs handed to a helper so far (for tests and benchmarks).
    [[nodiscard]] std::size_t jobsHanded() const noexcept {
        return handed_.load(std::memory_order_relaxed);
    }

  private:
    struct Helper {
        Job job;            // set while it has one
        bool busy = false;  // has a job, or runs one
        std::condition_variable wake;
    };

    void work(std::size_t index) EXCLUDES(mutex_);

    const std::size_t limit_;
    const pid_t ownerProcess_;
    Mutex mutex_;
    std::array<Helper, maxHelpers> helpers_ GUARDED_BY(mutex_);
    std::array<std::thread, maxHelpers> threads_ GUARDED_BY(mutex_);
    std::size_t started_ GUARDED_BY(mutex_) = 0;
    bool stopping_ GUARDED_BY(mutex_) = false;
    // No start is tried before this, after one failed.
    std::chrono::steady_clock::time_point nextStartAttempt_ GUARDED_BY(mutex_);
    std::atomic<std::size_t> idleOrUnstarted_;
    std::atomic<std::size_t> handed_{0};
};

}  // namespace tavelin
