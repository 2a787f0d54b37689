#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavelin::json {

// The value of a JSON number literal when it is an integer in the signed 64-bit range,
// decided from its digits alone: 1.0, 1e3, -0.0 and 9.223372036854775807e18 are integers,
// 1.5, 1e-400 and 9223372036854775808 are not. Going through a double would not do:
// 9007199254740993.0 becomes 9007199254740992 there, and 1e-400 becomes 0. One pass over
// the literal, however large its exponent. Precondition: `literal` is a valid JSON number.
[[nodiscard]] std::optional<std::int64_t> exactInteger(std::string_view literal);

}  // namespace tavelin::json
