#include "WorkPool.h"

namespace tavelin {

WorkPool::~WorkPool() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    available_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

bool WorkPool::submit(std::function<void()> job) {
    {
        const std::lock_guard lock(mutex_);
        threads_.reserve(maxThreads_);  // so that adding a thread below cannot fail to store it
        jobs_.push_back(std::move(job));
        if (jobs_.size() > idle_ && threads_.size() < maxThreads_) {
            try {
                threads_.emplace_back([this] { run(); });
            } catch (...) {
                // Out of threads (the account's task limit, the system's, or memory for a
                // stack). Without any thread the job would wait for ever.
                if (threads_.empty()) {
                    jobs_.pop_back();
                    return false;
                }
            }
        }
    }
    available_.notify_one();
    return true;
}

void WorkPool::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            ++idle_;
            available_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (...) {
            // Out of memory in one job: that job is lost, the pool goes on.
        }
    }
}

}  // namespace tavelin
