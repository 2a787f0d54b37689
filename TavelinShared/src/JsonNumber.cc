#include "TavelinShared/src/JsonNumber.h"

#include <cstddef>
#include <limits>

namespace tavelin::json {

namespace {

bool isDigit(char character) {
    return character >= '0' && character <= '9';
}

// value * 10 + digit, or false when that passes 2^64 - 1.
bool appendDigit(std::uint64_t& value, unsigned digit) {
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        return false;
    }
    value = value * 10 + digit;
    return true;
}

}  // namespace

std::optional<std::int64_t> exactInteger(std::string_view literal) {
    std::size_t at = 0;
    const bool negative = literal[at] == '-';
    at += negative ? 1 : 0;
    const std::size_t integerStart = at;
    while (at < literal.size() && isDigit(literal[at])) {
        ++at;
    }
    const std::string_view integerDigits = literal.substr(integerStart, at - integerStart);
    std::string_view fractionDigits;
    if (at < literal.size() && literal[at] == '.') {
        const std::size_t fractionStart = ++at;
        while (at < literal.size() && isDigit(literal[at])) {
            ++at;
        }
        fractionDigits = literal.substr(fractionStart, at - fractionStart);
    }
    // Past this bound the exponent stops growing: no literal has that many digits, so any
    // nonzero value beyond it is out of range or a fraction either way.
    constexpr std::int64_t exponentBound = 1'000'000'000'000'000;
    std::int64_t exponent = 0;
    if (at < literal.size()) {  // 'e' or 'E', an optional sign, digits
        ++at;
        const bool negativeExponent = literal[at] == '-';
        at += literal[at] == '-' || literal[at] == '+' ? 1 : 0;
        for (; at < literal.size(); ++at) {
            if (exponent < exponentBound) {
                exponent = exponent * 10 + (literal[at] - '0');
            }
        }
        exponent = negativeExponent ? -exponent : exponent;
    }

    // The digits without the point, and the value they make with the exponent.
    const std::size_t count = integerDigits.size() + fractionDigits.size();
    const auto digitAt = [&](std::size_t index) {
        return index < integerDigits.size() ? integerDigits[index]
                                            : fractionDigits[index - integerDigits.size()];
    };
    std::size_t first = 0;
    while (first < count && digitAt(first) == '0') {
        ++first;
    }
    if (first == count) {
        return 0;  // zero, whatever its sign and exponent
    }
    std::size_t last = count - 1;
    while (digitAt(last) == '0') {
        --last;
    }
    // value = digits[first..last] * 10^scale, and digits[last] is not 0: for a negative
    // scale that is a fraction.
    const std::int64_t scale = exponent - static_cast<std::int64_t>(fractionDigits.size()) +
                               static_cast<std::int64_t>(count - 1 - last);
    const auto significant = static_cast<std::int64_t>(last - first + 1);
    if (scale < 0 || significant + scale > 20) {  // 2^64 has 20 digits
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    for (std::size_t index = first; index <= last; ++index) {
        if (!appendDigit(magnitude, static_cast<unsigned>(digitAt(index) - '0'))) {
            return std::nullopt;
        }
    }
    for (std::int64_t zeros = 0; zeros < scale; ++zeros) {
        if (!appendDigit(magnitude, 0)) {
            return std::nullopt;
        }
    }
    constexpr auto largestMagnitude =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) {
        if (magnitude > largestMagnitude) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > largestMagnitude + 1) {
        return std::nullopt;
    }
    // -(magnitude - 1) - 1 stays in range for magnitude 2^63.
    return -static_cast<std::int64_t>(magnitude - 1) - 1;
}

}  // namespace tavelin::json
