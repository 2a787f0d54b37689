#include "TavelinShared/PrivilegedResult.h"

#include <utility>

#include "TavelinShared/UnicodeText.h"
#include "TavelinShared/src/JsonWriter.h"
#include "TavelinShared/src/WireNames.h"

namespace tavelin {

PrivilegedResult::PrivilegedResult(bool success, std::string message, std::int64_t freedBytes)
    : success_(success), message_(std::move(message)), freedBytes_(freedBytes) {}

Expected<std::string, EncodingError> PrivilegedResult::encode() const {
    std::string out = "{\"success\":";
    out += success_ ? "true" : "false";
    out += ",\"message\":";
    if (!json::appendString(out, message_)) {
        return Unexpected(json::notUtf8({std::string(wire::messageName)}));
    }
    out += ",\"freedBytes\":";
    json::appendInteger(out, freedBytes_);
    out += '}';
    return out;
}

bool operator==(const PrivilegedResult& lhs, const PrivilegedResult& rhs) {
    return lhs.success_ == rhs.success_ && lhs.freedBytes_ == rhs.freedBytes_ &&
           UnicodeText::canonicallyEqual(lhs.message_, rhs.message_);
}

}  // namespace tavelin
