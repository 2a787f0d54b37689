#include "TavelinHelper/common/WorkPool.h"

namespace tavelin {

namespace {

// Threads that ended, joined however submit() is left: one destroyed unjoined would
// terminate the process.
struct EndedThreads {
    EndedThreads() = default;
    EndedThreads(const EndedThreads&) = delete;
    EndedThreads& operator=(const EndedThreads&) = delete;
    ~EndedThreads() {
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    std::list<std::thread> threads;
};

}  // namespace

WorkPool::~WorkPool() {
    std::list<std::thread> threads;
    {
        const MutexLock lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    available_.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

WorkPool::Submitted WorkPool::submit(std::function<void()> job) {
    EndedThreads finished;
    bool wakeIdle = false;
    {
        const MutexLock lock(mutex_);
        // Join what has ended, so the list never grows beyond the threads alive.
        for (const std::thread::id id : ended_) {
            for (auto it = threads_.begin(); it != threads_.end(); ++it) {
                if (it->get_id() == id) {
                    finished.threads.splice(finished.threads.end(), threads_, it);
                    break;
                }
            }
        }
        ended_.clear();
        // Counted by job, not by thread: a job waiting for the thread just made for it
        // would otherwise count twice, and work within the limit be refused.
        if (unfinished_ >= limits_.maxJobs) {
            return Submitted::full;
        }
        jobs_.push_back(std::move(job));
        ++unfinished_;
        if (idle_ > jobs_.size() - 1) {
            wakeIdle = true;
        } else if (running_ < limits_.maxThreads && !startThread()) {
            // Without a thread of its own it would wait for ever, or where every job is to
            // have one, longer than it may.
            if (running_ == 0 || limits_.maxJobs <= limits_.maxThreads) {
                --unfinished_;
                jobs_.pop_back();
                return Submitted::noThread;
            }
        }
    }
    // Woken after the lock is released, so that the idle thread does not wake only to wait
    // for the lock still held here: one context switch less on every job.
    if (wakeIdle) {
        available_.notify_one();
    }
    return Submitted::queued;
}

bool WorkPool::startThread() {
    try {
        threads_.emplace_back([this] { work(); });
    } catch (...) {
        // Out of threads (the account's task limit, the system's, or memory for a stack).
        return false;
    }
    ++running_;
    return true;
}

void WorkPool::work() {
    mutex_.lock();
    for (;;) {
        if (jobs_.empty()) {
            if (stopping_ || idle_ >= limits_.maxIdle) {
                --running_;
                ended_.push_back(std::this_thread::get_id());
                mutex_.unlock();
                return;
            }
            ++idle_;
            while (!stopping_ && jobs_.empty()) {
                mutex_.wait(available_);
            }
            --idle_;
            continue;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        mutex_.unlock();
        try {
            job();
        } catch (...) {
            // Out of memory in one job: that job is lost, the pool goes on.
        }
        mutex_.lock();
        --unfinished_;
    }
}

}  // namespace tavelin
