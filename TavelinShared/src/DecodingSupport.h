#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/DecodingError.h"

// The checks a decoder makes on the kept parts of a document (see SelectiveJsonReader.h),
// with the error kinds and coding paths that DecodingError documents.
namespace tavelin::json {

using CodingPath = std::vector<std::string>;

// The JSON types a decoder asks for.
enum class JsonType { object, array, string, boolean, number };

// `path` followed by `step`.
[[nodiscard]] CodingPath appended(const CodingPath& path, std::string step);

// The coding-path step of an array element: "Index <index>".
[[nodiscard]] std::string indexStep(std::size_t index);

// Succeeds when `value` has the JSON type `expected`; otherwise valueNotFound when it is
// null and typeMismatch when it is anything else, both at `path`.
[[nodiscard]] Status<DecodingError> expectType(const nlohmann::json& value, JsonType expected,
                                               const CodingPath& path);

// The member `name` of `object` (which must be an object), or nullptr when it is absent.
[[nodiscard]] nlohmann::json* findMember(nlohmann::json& object, std::string_view name);

// keyNotFound for the member `name` of the object at `objectPath`; the error's path is
// `objectPath` followed by `name`.
[[nodiscard]] Unexpected<DecodingError> keyNotFound(const CodingPath& objectPath,
                                                    std::string_view name);

}  // namespace tavelin::json
