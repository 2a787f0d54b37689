#include "TavelinClient/src/CallDeadline.h"

#include <algorithm>
#include <utility>

namespace tavelin {

CallDeadline CallDeadline::after(std::chrono::milliseconds timeout, std::string detail) {
    const Clock::time_point now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    const std::chrono::milliseconds bounded =
        std::clamp(timeout, std::chrono::milliseconds::zero(), room);
    return CallDeadline{now + bounded, std::move(detail)};
}

std::chrono::milliseconds CallDeadline::left() const {
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    return std::max(remaining, std::chrono::milliseconds::zero());
}

}  // namespace tavelin
