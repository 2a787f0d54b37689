#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinShared/DecodingError.h"

// Reading untrusted JSON documents strictly, straight into a decoder's own fields: the
// reader hands each value the decoder looks at to a receiver and builds no tree of the
// document, so it holds nothing but what the receiver keeps.
namespace tavelin::json {

// The JSON types a decoder tells apart.
enum class JsonType { object, array, string, boolean, number, null };

// One value at a place the receiver looks at. An object or array arrives when it opens;
// its members or elements follow at the places the receiver gives them.
struct JsonValue {
    JsonType type = JsonType::null;
    // The value of a boolean.
    bool boolean = false;
    // The contents of a string (valid UTF-8); the receiver may move them out.
    std::string* string = nullptr;
    // A number's value when that is an integer in the signed 64-bit range, however it is
    // written (7, 7.0, 0.7e1, -0.0), judged from its digits; empty for any other number,
    // also one beyond a double's range.
    std::optional<std::int64_t> integer;
};

// What a decoder gives the reader: which parts of the document it looks at, and a home for
// them. Places are the receiver's own numbers for positions in the document; the top-level
// value is at rootPlace, and `ignored` marks a value nobody looks at, which is read and
// checked as JSON but goes nowhere. The places must form a finite tree (no place is inside
// itself), which bounds what the reader holds for open containers by that tree's depth.
class JsonReceiver {
  public:
    using Place = int;
    static constexpr Place rootPlace = 0;
    static constexpr Place ignored = -1;

    JsonReceiver() = default;
    JsonReceiver(const JsonReceiver&) = default;
    JsonReceiver& operator=(const JsonReceiver&) = default;
    JsonReceiver(JsonReceiver&&) = default;
    JsonReceiver& operator=(JsonReceiver&&) = default;
    virtual ~JsonReceiver() = default;

    // The place of the member `name` of the object received at `object`, or ignored.
    [[nodiscard]] virtual Place memberPlace(Place object, std::string_view name) const = 0;
    // The place of every element of the array received at `array`, or ignored.
    [[nodiscard]] virtual Place elementPlace(Place array) const = 0;
    // A value at a place other than ignored, in document order. A failure ends the reading
    // at once, before anything later in the text is looked at, and is its outcome.
    [[nodiscard]] virtual Status<DecodingError> receive(Place place, JsonValue& value) = 0;
    // Forget everything received: the reader starts over from the first byte.
    virtual void restart() = 0;
};

// Reads `bytes` as one JSON text into `receiver`.
//
// The text must be strict JSON: UTF-8 throughout (nlohmann's lexer refuses ill-formed
// UTF-8 and unpaired surrogate escapes in strings, and any non-ASCII byte outside them), no
// comments, nothing but whitespace after the value. A leading UTF-8 byte order mark is
// skipped. Numbers of any size are valid, also beyond a double's range. No object at a
// place other than ignored may repeat a member name (compared after unescaping, byte for
// byte): such a document has two readings and is refused. Objects inside ignored values are
// not checked for repeats, since nobody reads them.
//
// Fails with dataCorrupted, an empty coding path and a description saying what and where
// (cut to a few hundred bytes, always valid UTF-8), or with the first failure of the
// receiver. When memory runs out (or anything else throws) the reading ends with
// unreadable(); whatever was allocated is freed on the way out. Never throws.
//
// Costs: no recursion on nesting depth; time O(n log k) for n bytes and at most k names in
// one object at a place; memory for the names of the open objects at places and nlohmann's
// lexer (the longest token, twice, and one bit per open container). A text with a number
// beyond a double's range is read twice, with a scan for such numbers (replaceOverflows) and
// a copy of the text in between, and receiver.restart() before the second reading.
[[nodiscard]] Status<DecodingError> readJson(std::string_view bytes, JsonReceiver& receiver);

// The error for a document whose reading ran out of memory. Making it allocates nothing:
// its short description fits in the string's own buffer (15 bytes in libstdc++, 22 in
// libc++), so it can be made while memory is exhausted.
[[nodiscard]] DecodingError unreadable() noexcept;

}  // namespace tavelin::json
