#include "WorkPool.h"

namespace tavelin {

WorkPool::WorkPool(std::size_t threads) {
    threads_.reserve(threads);
    for (std::size_t index = 0; index < threads; ++index) {
        threads_.emplace_back([this] { run(); });
    }
}

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

void WorkPool::submit(std::function<void()> job) {
    {
        const std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    available_.notify_one();
}

void WorkPool::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            available_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
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
