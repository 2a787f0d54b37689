#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/DecodingError.h"
#include "TavelinShared/src/StrictJsonReader.h"

// The checks a decoder makes on what it received from the reader (see StrictJsonReader.h),
// with the error kinds and coding paths that DecodingError documents.
namespace tavelin::json {

using CodingPath = std::vector<std::string>;

// `path` followed by `step`.
[[nodiscard]] CodingPath appended(const CodingPath& path, std::string step);

// The coding-path step of an array element: "Index <index>".
[[nodiscard]] std::string indexStep(std::size_t index);

// Succeeds when `found` is `expected`; otherwise valueNotFound when it is null and
// typeMismatch when it is anything else, both at `path`.
[[nodiscard]] Status<DecodingError> expectType(JsonType found, JsonType expected,
                                               const CodingPath& path);

// keyNotFound for the member `name` of the object at `objectPath`; the error's path is
// `objectPath` followed by `name`.
[[nodiscard]] Unexpected<DecodingError> keyNotFound(const CodingPath& objectPath,
                                                    std::string_view name);

}  // namespace tavelin::json
