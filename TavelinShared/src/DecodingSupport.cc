#include "DecodingSupport.h"

#include <utility>

namespace tavelin::json {

namespace {

std::string_view expectedName(JsonType type) {
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
    }
    return "a value";
}

std::string_view foundName(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::object:
            return "an object";
        case nlohmann::json::value_t::array:
            return "an array";
        case nlohmann::json::value_t::string:
            return "a string";
        case nlohmann::json::value_t::boolean:
            return "a boolean";
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float:
            return "a number";
        case nlohmann::json::value_t::null:
            return "null";
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded:
            break;
    }
    return "another value";
}

bool hasType(const nlohmann::json& value, JsonType type) {
    switch (type) {
        case JsonType::object:
            return value.is_object();
        case JsonType::array:
            return value.is_array();
        case JsonType::string:
            return value.is_string();
        case JsonType::boolean:
            return value.is_boolean();
        case JsonType::number:
            return value.is_number();
    }
    return false;
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

Status<DecodingError> expectType(const nlohmann::json& value, JsonType expected,
                                 const CodingPath& path) {
    if (hasType(value, expected)) {
        return {};
    }
    const auto kind =
        value.is_null() ? DecodingErrorKind::valueNotFound : DecodingErrorKind::typeMismatch;
    std::string description = "Expected ";
    description += expectedName(expected);
    description += " but found ";
    description += foundName(value);
    description += " instead.";
    return Unexpected(DecodingError{kind, path, std::move(description)});
}

nlohmann::json* findMember(nlohmann::json& object, std::string_view name) {
    auto& members = object.get_ref<nlohmann::json::object_t&>();
    const auto found = members.find(name);
    return found == members.end() ? nullptr : &found->second;
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
