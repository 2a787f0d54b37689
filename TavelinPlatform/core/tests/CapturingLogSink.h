#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/core/LogSink.h"

namespace tavelin {

// Test support: keeps every line in memory, escaped exactly as the daemon's sink writes it,
// and with it its priority and peer. Thread-safe.
class CapturingLogSink final : public LogSink {
  public:
    struct Entry {
        LogPriority priority = LogPriority::info;
        std::optional<LogPeer> peer;
        std::string line;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    [[nodiscard]] std::vector<std::string> lines() const {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> lines;
        for (const Entry& entry : entries_) {
            lines.push_back(entry.line);
        }
        return lines;
    }
    [[nodiscard]] std::vector<Entry> entries() const {
        const std::lock_guard lock(mutex_);
        return entries_;
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        entries_.clear();
    }

  protected:
    void writeEntry(LogPriority priority, std::string_view line,
                    const std::optional<LogPeer>& peer) override {
        Entry entry{priority, peer, escapeLogLine(line)};
        const std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    void writeLine(std::string_view) override {}

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace tavelin
