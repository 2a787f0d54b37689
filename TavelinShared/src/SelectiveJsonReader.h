#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/DecodingError.h"

// Reading untrusted JSON documents strictly, keeping only the parts a decoder looks at.
namespace tavelin::json {

// Which parts of a document the reader keeps. The top-level value is always kept, and so is
// every value at a selected position:
// - a scalar as it is, except that a number is kept by its exact value: one that is an
//   integer in [-2^63, 2^64 - 1], however written (7, 7.0, 0.7e1, -0.0), as nlohmann's
//   number_integer when negative and number_unsigned otherwise; any other as number_float,
//   and one beyond a double's range (1e400, a 400-digit integer) as an infinity;
// - an object with only the members named in `members`, each kept by its own selection;
// - an array with its elements when `keepElements` is set, each element kept by the empty
//   selection.
// A container whose contents are not selected is kept empty, so its JSON type stays known.
// Everything else is read and checked as JSON but not stored.
struct JsonSelection {
    struct Member;
    std::vector<Member> members;
    bool keepElements = false;
};

struct JsonSelection::Member {
    std::string name;
    JsonSelection selection;
};

// The kept parts of a well-formed document.
struct SelectedJson {
    nlohmann::json root;
};

// Reads `bytes` as one JSON text and keeps the parts named by `selection`.
//
// The text must be strict JSON: UTF-8 throughout (nlohmann's lexer refuses ill-formed
// UTF-8 and unpaired surrogate escapes in strings, and any non-ASCII byte outside them), no
// comments, nothing but whitespace after the value. A leading UTF-8 byte order mark is
// skipped. Numbers of any size are valid, also beyond a double's range. No kept object (the
// top-level one, and every object at a selected position, also one kept empty) may repeat
// a member name: such a document has two readings and is refused. Objects inside values
// that are not kept are not checked for repeats, since no reading of them is kept.
//
// Fails with dataCorrupted, an empty coding path and a description saying what and where
// (the description is cut to a few hundred bytes and is always valid UTF-8). Also reports
// dataCorrupted when memory runs out. Never throws.
//
// Costs: no recursion on nesting depth; time O(n log k) for n bytes and at most k names per
// kept object; memory for the kept parts plus one small record per open kept object. A
// text with a number beyond a double's range is read twice, with one more pass of the
// lexer and a copy of the text in between.
[[nodiscard]] Expected<SelectedJson, DecodingError> readSelectedJson(
    std::string_view bytes, const JsonSelection& selection);

}  // namespace tavelin::json
