#include "TavelinShared/src/DecodingSupport.h"

#include <utility>

namespace tavelin::json {

namespace {

std::string_view typeName(JsonType type) {
    switch (type) {
        case JsonType::object:
            return "an object";
        case JsonType::array:
            return "an array";
        case JsonType::string:
            return "a string";
        case JsonType::boolean:
            return "a boolean";
        case JsonType::number:
            return "a number";
        case JsonType::null:
            return "null";
    }
    return "a value";
}

}  // namespace

CodingPath appended(const CodingPath& path, std::string step) {
    CodingPath longer;
    longer.reserve(path.size() + 1);
    longer.insert(longer.end(), path.begin(), path.end());
    longer.push_back(std::move(step));
    return longer;
}

std::string indexStep(std::size_t index) {
    return "Index " + std::to_string(index);
}

Status<DecodingError> expectType(JsonType found, JsonType expected, const CodingPath& path) {
    if (found == expected) {
        return {};
    }
    const auto kind = found == JsonType::null ? DecodingErrorKind::valueNotFound
                                              : DecodingErrorKind::typeMismatch;
    std::string description = "Expected ";
    description += typeName(expected);
    description += " but found ";
    description += typeName(found);
    description += " instead.";
    return Unexpected(DecodingError{kind, path, std::move(description)});
}

Unexpected<DecodingError> keyNotFound(const CodingPath& objectPath, std::string_view name) {
    std::string description = "No value associated with the key \"";
    description += name;
    description += "\".";
    return Unexpected(DecodingError{DecodingErrorKind::keyNotFound,
                                    appended(objectPath, std::string(name)),
                                    std::move(description)});
}

}  // namespace tavelin::json
