#pragma once

#include <cstdint>
#include <limits>

namespace tavelin {

// a + b for byte counts, stopping at INT64_MAX instead of wrapping. Both are >= 0.
[[nodiscard]] inline std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return sum;
}

}  // namespace tavelin
