#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "TavelinShared/DecodingError.h"
#include "TavelinShared/EncodingError.h"

namespace tavelin {

// The message of an operation that the system's policy did not let the requester's user
// have done (nothing was touched).
inline constexpr std::string_view notAuthorizedMessage = "Nicht autorisiert";

// The answer to every request: whether the operation succeeded, a German message for the
// user (UTF-8) and the bytes the operation freed. Immutable.
class PrivilegedResult {
  public:
    PrivilegedResult(bool success, std::string message, std::int64_t freedBytes);

    [[nodiscard]] bool success() const noexcept { return success_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] std::int64_t freedBytes() const noexcept { return freedBytes_; }

    // The compact JSON document {"success":…,"message":…,"freedBytes":…}, members in that
    // order: raw UTF-8, '/' written as "\/", '"' and '\\' escaped, control characters as
    // \b \f \n \r \t or \u00xx (lowercase hex), freedBytes in plain decimal. Fails only
    // when the message is not well-formed UTF-8 and so cannot be written as a JSON string
    // (coding path {"message"}).
    [[nodiscard]] Expected<std::string, EncodingError> encode() const;

    // Reads a result document; member order is free and unknown members are ignored
    // whatever valid JSON they hold. The text must be strict JSON in UTF-8, as for
    // PrivilegedOperation::decode, and the top-level object and the values of the three
    // members, where they are objects, must not repeat a member name (dataCorrupted
    // otherwise). The top-level value must be an object (null: valueNotFound, else
    // typeMismatch). Then "success" (a boolean), "message" (a string) and "freedBytes" (a
    // number) are checked in this order and the first bad one decides: missing is
    // keyNotFound (path {name}), null is valueNotFound, another JSON type (1 for success, "0"
    // for freedBytes) is typeMismatch. freedBytes may be written in any JSON form whose
    // value is an integer in the signed 64-bit range (1.0, 1e3, -0.0 and
    // 9.223372036854775807e18 are fine), judged exactly from its digits; a fraction (1.5) or
    // a value outside the range (9223372036854775808, 1e19, 1e400) is dataCorrupted with
    // path {"freedBytes"}. Costs as for PrivilegedOperation::decode; when memory runs out,
    // dataCorrupted with an empty path. Never throws.
    [[nodiscard]] static Expected<PrivilegedResult, DecodingError> decode(std::string_view bytes);

    // Equal fields; messages compare by canonical equivalence.
    friend bool operator==(const PrivilegedResult& lhs, const PrivilegedResult& rhs);

  private:
    bool success_;
    std::string message_;
    std::int64_t freedBytes_;
};

}  // namespace tavelin
