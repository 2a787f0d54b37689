#pragma once

#include <string>
#include <string_view>

// Unicode helpers over UTF-8 std::strings, all backed by ICU.
namespace tavelin::UnicodeText {

// True when `text` is well-formed UTF-8 (no surrogates, no overlong forms).
[[nodiscard]] bool isValidUtf8(std::string_view text);

// Canonical equivalence (equal NFD forms): "\u00FC" equals "u\u0308".
// Ill-formed UTF-8 compares by its bytes.
[[nodiscard]] bool canonicallyEqual(std::string_view lhs, std::string_view rhs);

// Decodes bytes as UTF-8, replacing each ill-formed sequence with U+FFFD.
[[nodiscard]] std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace tavelin::UnicodeText
