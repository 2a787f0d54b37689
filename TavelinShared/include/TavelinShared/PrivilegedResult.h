#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinShared/DecodingError.h"

namespace tavelin {

// The answer to every request: whether the operation succeeded, a German message for the
// user (UTF-8) and the bytes the operation freed. Immutable.
class PrivilegedResult {
public:
    PrivilegedResult(bool success, std::string message, std::int64_t freedBytes);

    [[nodiscard]] bool success() const noexcept { return success_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] std::int64_t freedBytes() const noexcept { return freedBytes_; }

    // The compact JSON document {"success":…,"message":…,"freedBytes":…}: raw UTF-8,
    // '/' written as "\/", '"', '\\' and control characters escaped. Fails (nullopt) only
    // when the message is not valid UTF-8 and so cannot be written as a JSON string.
    [[nodiscard]] std::optional<std::string> encode() const;

    // Reads a result document; member order is free and unknown members are ignored.
    [[nodiscard]] static Decoded<PrivilegedResult> decode(std::string_view bytes);

    // Equal fields; messages compare by canonical equivalence.
    friend bool operator==(const PrivilegedResult& lhs, const PrivilegedResult& rhs);

private:
    bool success_;
    std::string message_;
    std::int64_t freedBytes_;
};

}  // namespace tavelin
