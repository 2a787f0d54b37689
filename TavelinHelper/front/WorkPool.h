#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavelin {

// A fixed number of threads for the work the event loop must not wait for: hashing a
// peer's executable during admission and decoding a request. Jobs run in the order
// submitted; a job that throws is dropped (its owner learns through its own state).
class WorkPool {
  public:
    explicit WorkPool(std::size_t threads);
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;
    // Runs the jobs already submitted, then joins every thread.
    ~WorkPool();

    void submit(std::function<void()> job);

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tavelin
