#pragma once

#include <string_view>

namespace tavelin {

// True for "." and "..": names that stand for a folder itself or its parent, never for an
// entry that could be listed or removed.
[[nodiscard]] constexpr bool isDotName(std::string_view name) noexcept {
    return name == "." || name == "..";
}

}  // namespace tavelin
