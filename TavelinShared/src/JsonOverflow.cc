#include "TavelinShared/src/JsonOverflow.h"

#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdlib>

namespace tavelin::json {

namespace {

bool isDigit(char character) {
    return character >= '0' && character <= '9';
}

// The length of the number literal at `text`'s start, read as JSON's grammar has it and
// as far as it goes (so "01" is the literal "0"); 0 when it is not one ("-", "1.", "1e+").
std::size_t numberLength(std::string_view text) {
    std::size_t at = text[0] == '-' ? 1 : 0;
    const auto digits = [&] {
        const std::size_t start = at;
        while (at < text.size() && isDigit(text[at])) {
            ++at;
        }
        return at > start;
    };
    if (at < text.size() && text[at] == '0') {
        ++at;
    } else if (!digits()) {
        return 0;
    }
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (!digits()) {
            return 0;
        }
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
        if (!digits()) {
            return 0;
        }
    }
    return at;
}

// The length of the string token at `text`'s start, its quotes included, or of all of
// `text` when it never ends. Escapes and bytes are not judged: where the parser refuses
// one, it stops inside this token, before anything this scan replaces after it.
std::size_t stringLength(std::string_view text) {
    for (std::size_t at = 1; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == '"') {
            return at + 1;
        }
    }
    return text.size();
}

// The length of the token at `text`'s start that holds no number; 0 when no token begins
// there (which ends the parse).
std::size_t otherTokenLength(std::string_view text) {
    switch (text[0]) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case '[':
        case ']':
        case '{':
        case '}':
        case ':':
        case ',':
            return 1;
        case '"':
            return stringLength(text);
        default:
            break;
    }
    for (const std::string_view literal : {"true", "false", "null"}) {
        if (text.substr(0, literal.size()) == literal) {
            return literal.size();
        }
    }
    return 0;
}

// Whether the parser's lexer takes `literal` for a number beyond a double's range: it
// reads every number that is no 64-bit integer with strtod, spelling the decimal point as
// the locale does, and the parser refuses one that is not finite.
bool overflows(std::string_view literal, std::string& buffer) {
    buffer.assign(literal);
    const char decimalPoint = *std::localeconv()->decimal_point;
    for (char& character : buffer) {
        character = character == '.' ? decimalPoint : character;
    }
    return !std::isfinite(std::strtod(buffer.c_str(), nullptr));
}

// The UTF-8 byte order mark the lexer skips at the start of the text.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

}  // namespace

void replaceOverflows(std::string_view bytes, std::string& finite) {
    constexpr std::string_view standIn = "0.5";
    std::string buffer;
    std::size_t at = bytes.substr(0, byteOrderMark.size()) == byteOrderMark ? 3 : 0;
    while (at < bytes.size()) {
        const std::string_view rest = bytes.substr(at);
        const bool number = rest[0] == '-' || isDigit(rest[0]);
        const std::size_t length = number ? numberLength(rest) : otherTokenLength(rest);
        if (length == 0) {
            return;
        }
        if (number && overflows(rest.substr(0, length), buffer)) {
            finite.replace(at, length, length, ' ');
            finite.replace(at, standIn.size(), standIn);
        }
        at += length;
    }
}

}  // namespace tavelin::json
