#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

namespace tavelin {

// The threads the monitor runs operations on: one per operation running, made when
// needed and kept for the next operation once idle (at most `maxIdle` are kept), so that
// a short operation pays no thread start. At most `maxThreads` run at once.
class OperationThreads {
  public:
    OperationThreads(std::size_t maxThreads, std::size_t maxIdle)
        : maxThreads_(maxThreads), maxIdle_(maxIdle) {}
    OperationThreads(const OperationThreads&) = delete;
    OperationThreads& operator=(const OperationThreads&) = delete;
    // Waits for every job to finish, then joins every thread.
    ~OperationThreads();

    // Runs `job` on an idle thread or a new one; false (and the job is not run) when
    // maxThreads jobs are running already. Throws std::system_error when no thread can be
    // started.
    [[nodiscard]] bool run(std::function<void()> job);

    // When the last job finished (or these threads were made), if none is running or
    // waiting now; nothing while one is.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> idleSince();

  private:
    void work();

    const std::size_t maxThreads_;
    const std::size_t maxIdle_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::function<void()>> jobs_;
    std::size_t running_ = 0;  // threads alive (busy or idle)
    std::size_t idle_ = 0;
    std::size_t unfinished_ = 0;  // jobs taken and not yet done: what maxThreads bounds
    bool stopping_ = false;
    std::chrono::steady_clock::time_point lastFinished_ = std::chrono::steady_clock::now();
    std::list<std::thread> threads_;
    std::list<std::thread::id> ended_;  // threads that left for want of work, to join
};

}  // namespace tavelin
