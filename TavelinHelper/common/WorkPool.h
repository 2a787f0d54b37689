#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <thread>

#include "TavelinPlatform/core/Mutex.h"

namespace tavelin {

// Threads for the work a loop must not wait for: the front's admission checks and long
// decodes, the monitor's operations. Jobs run in the order submitted. A thread is started
// when a job finds none idle, up to maxThreads; an idle thread is kept for the next job
// while fewer than maxIdle others are, and ends otherwise. A job that throws is dropped
// (its owner learns through its own state).
class WorkPool {
  public:
    static constexpr std::size_t noJobLimit = std::numeric_limits<std::size_t>::max();

    struct Limits {
        std::size_t maxThreads = 1;  // alive at once, busy or idle
        std::size_t maxIdle = 1;     // kept for the next job
        // Queued or running at once; more are refused. Up to maxThreads, each job runs on a
        // thread of its own, so one that cannot get a thread is refused. Beyond, jobs wait
        // their turn, also on a running thread when no new one can be started.
        std::size_t maxJobs = noJobLimit;
    };

    enum class Submitted {
        queued,
        full,      // maxJobs are queued or running
        noThread,  // no thread could be started for it, and it may not wait for one
    };

    // Starts no thread yet.
    explicit WorkPool(Limits limits) : limits_(limits) {}
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;
    // Runs the jobs already submitted, then joins every thread.
    ~WorkPool();

    // Queues `job`; unless queued it is dropped unrun, and the caller refuses the work.
    // Throws std::bad_alloc when the job cannot be queued.
    [[nodiscard]] Submitted submit(std::function<void()> job);

  private:
    void work() EXCLUDES(mutex_);
    // Starts a thread for the job just queued. False when none could be started.
    bool startThread() REQUIRES(mutex_);

    const Limits limits_;
    Mutex mutex_;
    std::condition_variable available_;
    std::deque<std::function<void()>> jobs_ GUARDED_BY(mutex_);
    std::size_t running_ GUARDED_BY(mutex_) = 0;  // threads alive (busy or idle)
    std::size_t idle_ GUARDED_BY(mutex_) = 0;
    // Jobs queued or running: what maxJobs bounds.
    std::size_t unfinished_ GUARDED_BY(mutex_) = 0;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::list<std::thread> threads_ GUARDED_BY(mutex_);
    // Threads that left for want of work, to join.
    std::list<std::thread::id> ended_ GUARDED_BY(mutex_);
};

}  // namespace tavelin
