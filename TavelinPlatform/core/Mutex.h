#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "TavelinPlatform/core/ThreadAnnotations.h"

namespace tavelin {

// A std::mutex the thread-safety analysis knows as a lock: libstdc++'s own carries no
// annotations, so members guarded by one would go unchecked. Waiting on a condition
// variable goes through it too, so the analysis sees the lock held before and after.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    // Tells the analysis that the caller holds the lock, where it cannot see so itself
    // (inside a lambda called under it); checks nothing at run time.
    void assertHeld() const ASSERT_CAPABILITY(this) {}

    // Waits for `condition` to be notified (or to wake spuriously: callers loop on their
    // predicate); the mutex is let go meanwhile and held again on return.
    void wait(std::condition_variable& condition) REQUIRES(this) {
        std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
        condition.wait(held);
        held.release();  // still held, and still ours to unlock
    }

    // As wait(), but no later than `deadline`; timeout once it has passed.
    std::cv_status waitUntil(std::condition_variable& condition,
                             std::chrono::steady_clock::time_point deadline) REQUIRES(this) {
        std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
        const std::cv_status status = condition.wait_until(held, deadline);
        held.release();
        return status;
    }

  private:
    std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

}  // namespace tavelin
