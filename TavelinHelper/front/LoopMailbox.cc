#include "TavelinHelper/front/LoopMailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tavelin {

LoopMailbox::LoopMailbox() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void LoopMailbox::post(std::function<void()> task) noexcept {
    try {
        const MutexLock lock(mutex_);
        tasks_.push_back(std::move(task));
    } catch (...) {
        return;
    }
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter would overflow, far beyond one.
    static_cast<void>(!::write(event_.get(), &one, sizeof one));
}

void LoopMailbox::runPosted() {
    std::uint64_t count = 0;
    // Only clears the readiness: every queued task runs whatever it read.
    static_cast<void>(!::read(event_.get(), &count, sizeof count));
    std::deque<std::function<void()>> ready;
    {
        const MutexLock lock(mutex_);
        ready.swap(tasks_);
    }
    for (auto& task : ready) {
        try {
            task();
        } catch (...) {
            // One task's failure (out of memory for one connection's reply, say) must not
            // end the loop; the task's owner cleans up through its own state.
        }
    }
}

}  // namespace tavelin
