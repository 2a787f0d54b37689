#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavelin {

// At most a fixed number of threads for the work the event loop must not wait for:
// hashing a peer's executable during admission and decoding a request. A thread is started
// when a job finds none idle and kept until the pool ends, so the threads never outnumber
// `maxThreads`. Jobs run in the order submitted; a job that throws is dropped (its owner
// learns through its own state).
class WorkPool {
  public:
    // Starts no thread yet.
    explicit WorkPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;
    // Runs the jobs already submitted, then joins every thread.
    ~WorkPool();

    // Queues `job`. False, with the job dropped unrun, when no thread runs and none can be
    // started (the system refused the thread): the caller refuses the work instead. With
    // one thread running, a job that could not get another waits its turn on that one.
    // Throws std::bad_alloc when the job cannot be queued.
    [[nodiscard]] bool submit(std::function<void()> job);

  private:
    void run();

    const std::size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::function<void()>> jobs_;
    std::size_t idle_ = 0;  // threads waiting for a job
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tavelin
