#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace tavelin {

// The byte buffer one update run collects the tool's output into, shared between the
// thread that reads the pipe and the thread that runs the tool. Every access holds the
// lock, and the lock is held for nothing else: never while reading the pipe or waiting
// for the child. Bytes are only ever appended; the buffer has no size limit.
class LockedData {
  public:
    LockedData() = default;
    LockedData(const LockedData&) = delete;
    LockedData& operator=(const LockedData&) = delete;

    void append(std::string_view bytes) {
        const std::lock_guard guard(lock_);
        data_.append(bytes);
    }

    // Everything appended so far.
    [[nodiscard]] std::string copy() const {
        const std::lock_guard guard(lock_);
        return data_;
    }

  private:
    mutable std::mutex lock_;
    std::string data_;
};

}  // namespace tavelin
