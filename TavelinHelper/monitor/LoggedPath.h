#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavelin {

// The most bytes of one client path a log line carries. A request may name a path of
// megabytes; the audit and removal lines keep the first maxLoggedPathBytes of it.
inline constexpr std::size_t maxLoggedPathBytes = 4096;

// `path` as a log line shows it: whole when it has at most maxLoggedPathBytes bytes;
// otherwise its first maxLoggedPathBytes bytes (cut back to the start of a UTF-8
// character) followed by "… (<n> more bytes)", n counting every byte left out.
[[nodiscard]] std::string loggedPath(std::string_view path);

}  // namespace tavelin
