#pragma once

#include <chrono>
#include <string>

namespace tavelin {

// The moment a step of the conversation must be over by, and what a timedOut error says
// about it. Built from a caller's limit, which may be noTimeout: the end then lies so far
// ahead that it never comes, instead of overflowing the clock.
struct CallDeadline {
    using Clock = std::chrono::steady_clock;

    Clock::time_point end;
    std::string detail;

    [[nodiscard]] static CallDeadline after(std::chrono::milliseconds timeout, std::string detail);

    // The time left, never below zero.
    [[nodiscard]] std::chrono::milliseconds left() const;
};

}  // namespace tavelin
