#include "tools/tavelinctl/ElapsedIndicator.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

namespace tavelin::tavelinctl {
namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Column width of the drawn text: "…" is one column but three UTF-8 bytes.
std::size_t columns(const std::string& text) {
    std::size_t count = 0;
    for (const char byte : text) {
        if ((static_cast<unsigned char>(byte) & 0xC0U) != 0x80U) {
            ++count;
        }
    }
    return count;
}

}  // namespace

ElapsedIndicator::ElapsedIndicator(int fd, bool enabled, std::chrono::milliseconds tick)
    : fd_(fd), tick_(tick) {
    if (enabled) {
        thread_ = std::thread([this] { run(); });
    }
}

ElapsedIndicator::~ElapsedIndicator() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const MutexLock lock(mutex_);
        stopping_ = true;
    }
    wakeUp_.notify_one();
    thread_.join();
}

void ElapsedIndicator::run() {
    const auto start = std::chrono::steady_clock::now();
    std::size_t drawnColumns = 0;
    const MutexLock lock(mutex_);
    for (auto next = start + tick_;; next += tick_) {
        while (!stopping_ && mutex_.waitUntil(wakeUp_, next) == std::cv_status::no_timeout) {
        }
        if (stopping_) {
            break;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - start);
        std::string line = "\r\u2026 " + std::to_string(elapsed.count()) + " s";
        // Blank a longer previous text so no stale digit stays behind.
        const std::size_t width = columns(line) - 1;  // the carriage return takes no column
        line.append(drawnColumns > width ? drawnColumns - width : 0, ' ');
        writeAll(fd_, line);
        drawnColumns = std::max(drawnColumns, width);
    }
    if (drawnColumns > 0) {
        writeAll(fd_, "\r" + std::string(drawnColumns, ' ') + "\r");
    }
}

}  // namespace tavelin::tavelinctl
