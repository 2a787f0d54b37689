#include "TavelinShared/src/JsonWriter.h"

#include <array>
#include <charconv>
#include <utility>

#include "TavelinShared/UnicodeText.h"

namespace tavelin::json {

namespace {

// The escape for one ASCII byte, or an empty view when it is written as it is.
std::string_view shortEscape(char byte) {
    switch (byte) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '/':
            return "\\/";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            return {};
    }
}

void appendUnicodeEscape(std::string& out, unsigned char byte) {
    static constexpr std::string_view hexDigits = "0123456789abcdef";
    out += "\\u00";
    out += hexDigits[byte >> 4U];
    out += hexDigits[byte & 0x0FU];
}

}  // namespace

bool appendString(std::string& out, std::string_view text) {
    if (!UnicodeText::isValidUtf8(text)) {
        return false;
    }
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    // Copy runs of bytes that need no escape in one go; bytes of multi-byte sequences are
    // all >= 0x80 and so always part of such a run.
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::string_view escape = shortEscape(text[i]);
        if (escape.empty() && byte >= 0x20U) {
            continue;
        }
        out.append(text, runStart, i - runStart);
        if (escape.empty()) {
            appendUnicodeEscape(out, byte);
        } else {
            out += escape;
        }
        runStart = i + 1;
    }
    out.append(text, runStart, text.size() - runStart);
    out += '"';
    return true;
}

EncodingError notUtf8(std::vector<std::string> codingPath) {
    return EncodingError{std::move(codingPath),
                         "The string is not well-formed UTF-8, so JSON text cannot carry it."};
}

void appendInteger(std::string& out, std::int64_t value) {
    std::array<char, 24> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    (void)error;  // 24 bytes hold every 64-bit value with its sign
    out.append(digits.data(), end);
}

}  // namespace tavelin::json
