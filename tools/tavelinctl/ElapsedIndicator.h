#pragma once

#include <chrono>
#include <condition_variable>
#include <thread>

#include "TavelinPlatform/core/Mutex.h"

namespace tavelin::tavelinctl {

// Shows that a slow call is still running: once the call has run for one tick, a thread
// draws "\r… N s" (N whole seconds so far) on `fd`, redraws it every tick, and when the
// indicator is destroyed blanks the drawn text and returns the cursor to the line start,
// so the next output begins on a clean line. Draws nothing for calls shorter than one
// tick. The descriptor is borrowed and must stay open while the indicator lives; write
// errors are ignored (a progress display must never fail the call it decorates).
class ElapsedIndicator {
  public:
    // Starts drawing on `fd` only when `enabled` (the caller decides, normally
    // isatty(STDERR_FILENO)); a disabled indicator starts no thread and writes nothing.
    ElapsedIndicator(int fd, bool enabled,
                     std::chrono::milliseconds tick = std::chrono::seconds(1));
    ElapsedIndicator(const ElapsedIndicator&) = delete;
    ElapsedIndicator& operator=(const ElapsedIndicator&) = delete;
    ~ElapsedIndicator();

  private:
    void run() EXCLUDES(mutex_);

    int fd_;
    std::chrono::milliseconds tick_;
    Mutex mutex_;
    std::condition_variable wakeUp_;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread thread_;
};

}  // namespace tavelin::tavelinctl
