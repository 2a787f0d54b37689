#pragma once

#include <string>
#include <vector>

#include "TavelinShared/EncodingError.h"

namespace tavelin {

// `strings` as a compact JSON array, each written as requests write their strings, e.g.
// ["\/Library\/Caches\/a","b"]. Fails, naming the first one ("Index <n>"), when a string
// is not well-formed UTF-8.
[[nodiscard]] Expected<std::string, EncodingError> jsonStringArray(
    const std::vector<std::string>& strings);

}  // namespace tavelin
