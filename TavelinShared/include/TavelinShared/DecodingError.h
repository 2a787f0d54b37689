#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/Expected.h"

namespace tavelin {

// Why a document did not decode. The kinds mirror what a JSON reader can report.
enum class DecodingErrorKind {
    dataCorrupted,  // not JSON, not UTF-8, a repeated member name, a number out of range, a
                    // list longer than its limit, memory running out while decoding
    typeMismatch,   // a value of another JSON type than expected
    valueNotFound,  // null where a value is required
    keyNotFound,    // a required member is missing
};

// The kind's name as written in code, e.g. "typeMismatch"; for messages and test output.
[[nodiscard]] constexpr std::string_view kindName(DecodingErrorKind kind) noexcept {
    switch (kind) {
        case DecodingErrorKind::dataCorrupted:
            return "dataCorrupted";
        case DecodingErrorKind::typeMismatch:
            return "typeMismatch";
        case DecodingErrorKind::valueNotFound:
            return "valueNotFound";
        case DecodingErrorKind::keyNotFound:
            return "keyNotFound";
    }
    return "unknown";
}

struct DecodingError {
    DecodingErrorKind kind;
    // The way from the document's top-level value to the offending value, one entry per
    // step: a member name exactly as written, or "Index <n>" (0-based, decimal) for an
    // array element; empty for the top-level value itself. For keyNotFound the last entry
    // is the missing member's name. Errors of the document's syntax (not JSON, not UTF-8, a
    // repeated member name) have an empty path and say where in the description; so does
    // memory running out.
    std::vector<std::string> codingPath;
    // Human-readable and not part of any format, except for the one text
    // "Invalid number of keys found, expected one." of PrivilegedOperation.
    std::string description;
    // For the type mismatches a decoder raises about a whole value of its own type (the
    // request object holding no or several operations): that type's name, e.g.
    // "PrivilegedOperation". Empty for errors the JSON reader raises.
    std::string typeName = {};
};

}  // namespace tavelin
