#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "LogSink.h"

namespace tavelin {

// Test support: keeps every line in memory, escaped exactly as the daemon's sink writes it.
// Thread-safe.
class CapturingLogSink final : public LogSink {
  public:
    [[nodiscard]] std::vector<std::string> lines() const {
        const std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        lines_.clear();
    }

  protected:
    void writeLine(std::string_view escapedLine) override {
        const std::lock_guard lock(mutex_);
        lines_.emplace_back(escapedLine);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tavelin
