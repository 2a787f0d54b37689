#include "TavelinShared/PrivilegedResult.h"

#include <limits>
#include <utility>

#include "DecodingSupport.h"
#include "JsonWriter.h"
#include "SelectiveJsonReader.h"
#include "TavelinShared/UnicodeText.h"

namespace tavelin {

namespace {

using Json = nlohmann::json;
using json::CodingPath;
using json::JsonType;

constexpr std::string_view successName = "success";
constexpr std::string_view messageName = "message";
constexpr std::string_view freedBytesName = "freedBytes";

const json::JsonSelection& resultSelection() {
    static const json::JsonSelection selection = [] {
        json::JsonSelection result;
        for (std::string_view name : {successName, messageName, freedBytesName}) {
            result.members.push_back({std::string(name), json::JsonSelection{}});
        }
        return result;
    }();
    return selection;
}

// A member that must be present and of type `type`: the member, or the error about it.
Expected<Json*, DecodingError> requiredMember(Json& object, std::string_view name, JsonType type) {
    Json* member = json::findMember(object, name);
    if (member == nullptr) {
        return json::keyNotFound({}, name);
    }
    if (auto typed = json::expectType(*member, type, {std::string(name)}); !typed) {
        return Unexpected(std::move(typed).error());
    }
    return member;
}

// freedBytes must be an integer in the signed 64-bit range. The reader keeps a number whose
// value is an integer as an integer, however it is written (1.0, 1e3) and judged from its
// digits, so only the range is left: unsigned values above 2^63 - 1 and every float (a
// fraction, or a value beyond 2^64 - 1) are refused rather than rounded.
Expected<std::int64_t, DecodingError> byteCount(const Json& number) {
    if (number.is_number_integer()) {
        if (number.is_number_unsigned()) {
            const auto value = number.get<std::uint64_t>();
            if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return static_cast<std::int64_t>(value);
            }
        } else {
            return number.get<std::int64_t>();
        }
    }
    return Unexpected(DecodingError{DecodingErrorKind::dataCorrupted,
                                    {std::string(freedBytesName)},
                                    "The number is not an integer in the signed 64-bit range."});
}

}  // namespace

PrivilegedResult::PrivilegedResult(bool success, std::string message, std::int64_t freedBytes)
    : success_(success), message_(std::move(message)), freedBytes_(freedBytes) {}

Expected<std::string, EncodingError> PrivilegedResult::encode() const {
    std::string out = "{\"success\":";
    out += success_ ? "true" : "false";
    out += ",\"message\":";
    if (!json::appendString(out, message_)) {
        return Unexpected(json::notUtf8({std::string(messageName)}));
    }
    out += ",\"freedBytes\":";
    json::appendInteger(out, freedBytes_);
    out += '}';
    return out;
}

Expected<PrivilegedResult, DecodingError> PrivilegedResult::decode(std::string_view bytes) {
    Expected<json::SelectedJson, DecodingError> document =
        json::readSelectedJson(bytes, resultSelection());
    if (!document) {
        return Unexpected(std::move(document).error());
    }
    Json root = std::move(document->root);
    if (auto typed = json::expectType(root, JsonType::object, {}); !typed) {
        return Unexpected(std::move(typed).error());
    }
    // The first bad member in the order success, message, freedBytes decides.
    auto success = requiredMember(root, successName, JsonType::boolean);
    if (!success) {
        return Unexpected(std::move(success).error());
    }
    auto message = requiredMember(root, messageName, JsonType::string);
    if (!message) {
        return Unexpected(std::move(message).error());
    }
    auto freedBytes = requiredMember(root, freedBytesName, JsonType::number);
    if (!freedBytes) {
        return Unexpected(std::move(freedBytes).error());
    }
    auto count = byteCount(**freedBytes);
    if (!count) {
        return Unexpected(std::move(count).error());
    }
    return PrivilegedResult((*success)->get<bool>(), std::move((*message)->get_ref<std::string&>()),
                            *count);
}

bool operator==(const PrivilegedResult& lhs, const PrivilegedResult& rhs) {
    return lhs.success_ == rhs.success_ && lhs.freedBytes_ == rhs.freedBytes_ &&
           UnicodeText::canonicallyEqual(lhs.message_, rhs.message_);
}

}  // namespace tavelin
