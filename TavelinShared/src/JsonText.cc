#include "TavelinShared/JsonText.h"

#include "TavelinShared/src/JsonWriter.h"

namespace tavelin {

Expected<std::string, EncodingError> jsonStringArray(const std::vector<std::string>& strings) {
    std::string out = "[";
    for (std::size_t index = 0; index < strings.size(); ++index) {
        if (index > 0) {
            out += ',';
        }
        if (!json::appendString(out, strings[index])) {
            return Unexpected(json::notUtf8({"Index " + std::to_string(index)}));
        }
    }
    out += ']';
    return out;
}

}  // namespace tavelin
