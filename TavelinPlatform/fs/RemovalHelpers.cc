#include "TavelinPlatform/fs/RemovalHelpers.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace tavelin {

namespace {

// After a helper could not be started (out of tasks, memory or address space), offers go
// on without starting one for this long, so that a starved process does not try a clone
// for every folder.
constexpr auto startRetryDelay = std::chrono::seconds(1);

// The cores this process may run on (its affinity mask), else what the system reports.
std::size_t usableCores() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
    }
    return std::max(1U, std::thread::hardware_concurrency());
}

}  // namespace

RemovalHelpers::RemovalHelpers(std::size_t helpers)
    : limit_(std::min(helpers, maxHelpers)), ownerProcess_(::getpid()), idleOrUnstarted_(limit_) {}

RemovalHelpers::~RemovalHelpers() {
    std::size_t started = 0;
    {
        const MutexLock lock(mutex_);
        stopping_ = true;
        started = started_;
        for (std::size_t i = 0; i < started; ++i) {
            helpers_[i].wake.notify_one();
        }
    }
    for (std::size_t i = 0; i < started; ++i) {
        std::thread thread;
        {
            const MutexLock lock(mutex_);
            thread = std::move(threads_[i]);
        }
        thread.join();
    }
}

RemovalHelpers& RemovalHelpers::shared() {
    // Never destroyed: a removal still running on another thread when the process ends
    // must not find its helpers gone.
    static RemovalHelpers* const pool =
        new RemovalHelpers(std::min(usableCores(), maxRemovalThreads) - 1);
    return *pool;
}

bool RemovalHelpers::tryRun(Job job) {
    // In a forked child the helpers (and perhaps the lock's holder) stayed in the parent:
    // nothing of the pool is touched there.
    if (limit_ == 0 || !mayHaveIdle() || ::getpid() != ownerProcess_) {
        return false;
    }
    const MutexLock lock(mutex_);
    if (stopping_) {
        return false;
    }
    for (std::size_t i = 0; i < started_; ++i) {
        Helper& helper = helpers_[i];
        if (!helper.busy) {
            helper.busy = true;
            helper.job = job;
            idleOrUnstarted_.fetch_sub(1, std::memory_order_relaxed);
            handed_.fetch_add(1, std::memory_order_relaxed);
            helper.wake.notify_one();
            return true;
        }
    }
    if (started_ == limit_ || std::chrono::steady_clock::now() < nextStartAttempt_) {
        return false;
    }
    const std::size_t index = started_;
    Helper& helper = helpers_[index];
    helper.busy = true;
    helper.job = job;
    try {
        // The thread gets the process's default attributes: in the daemon the small stack
        // of reserveModestAddressSpace(). The walk it runs does not recurse.
        threads_[index] = std::thread([this, index] { work(index); });
    } catch (const std::system_error&) {
        helper.busy = false;
        helper.job = {};
        nextStartAttempt_ = std::chrono::steady_clock::now() + startRetryDelay;
        return false;
    }
    ++started_;
    idleOrUnstarted_.fetch_sub(1, std::memory_order_relaxed);
    handed_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void RemovalHelpers::work(std::size_t index) {
    mutex_.lock();
    for (;;) {
        Helper& helper = helpers_[index];
        while (!helper.busy && !stopping_) {
            mutex_.wait(helper.wake);
        }
        if (!helper.busy) {
            mutex_.unlock();
            return;
        }
        const Job job = helper.job;
        mutex_.unlock();
        job.run(job.context);
        mutex_.lock();
        helper.busy = false;
        helper.job = {};
        idleOrUnstarted_.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace tavelin
