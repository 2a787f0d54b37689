#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/EncodingError.h"

// The pieces of the compact JSON that requests and results are written in. The spelling
// is part of those formats: strings keep non-ASCII characters as raw UTF-8 and escape only
//   "  \  /            as \"  \\  \/
//   U+0008 U+000C U+000A U+000D U+0009   as \b \f \n \r \t
//   every other character below U+0020   as \u00xx with lowercase hex digits (\u001f).
// Everything else, DEL and U+2028/U+2029 included, is written unchanged.
namespace tavelin::json {

// Appends `text` as a quoted JSON string. Returns false, leaving `out` unchanged, when
// `text` is not well-formed UTF-8 and so cannot be written as a JSON string.
[[nodiscard]] bool appendString(std::string& out, std::string_view text);

// The error for a string at `codingPath` that appendString refused.
[[nodiscard]] EncodingError notUtf8(std::vector<std::string> codingPath);

// Appends `value` in plain decimal: an optional minus sign, no leading zeros.
void appendInteger(std::string& out, std::int64_t value);

}  // namespace tavelin::json
