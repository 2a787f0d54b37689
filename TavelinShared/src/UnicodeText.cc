#include "TavelinShared/UnicodeText.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <climits>

namespace tavelin::UnicodeText {

namespace {

bool fitsIcuLength(std::string_view text) { return text.size() <= static_cast<std::size_t>(INT32_MAX); }

}  // namespace

bool isValidUtf8(std::string_view text) {
    if (!fitsIcuLength(text)) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t offset = 0;
    while (offset < length) {
        UChar32 codePoint = 0;
        U8_NEXT(bytes, offset, length, codePoint);
        if (codePoint < 0) {
            return false;
        }
    }
    return true;
}

bool canonicallyEqual(std::string_view lhs, std::string_view rhs) {
    if (lhs == rhs) {
        return true;
    }
    if (!isValidUtf8(lhs) || !isValidUtf8(rhs)) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        return false;
    }
    const auto left = icu::UnicodeString::fromUTF8(icu::StringPiece(lhs.data(), static_cast<std::int32_t>(lhs.size())));
    const auto right = icu::UnicodeString::fromUTF8(icu::StringPiece(rhs.data(), static_cast<std::int32_t>(rhs.size())));
    const icu::UnicodeString leftNfd = nfd->normalize(left, status);
    const icu::UnicodeString rightNfd = nfd->normalize(right, status);
    return U_SUCCESS(status) && leftNfd == rightNfd;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    // Walk the input ourselves only to find the ill-formed spans; ICU's U8_NEXT marks each
    // maximal ill-formed subpart with a negative code point, which becomes one U+FFFD.
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size() + 16);
    std::size_t position = 0;
    while (position < bytes.size()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - position, 1U << 30U);
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data() + position);
        const auto length = static_cast<std::int32_t>(chunk);
        std::int32_t offset = 0;
        while (offset < length) {
            const std::int32_t start = offset;
            UChar32 codePoint = 0;
            U8_NEXT(data, offset, length, codePoint);
            if (codePoint < 0) {
                out += replacement;
            } else {
                out.append(bytes.data() + position + start, static_cast<std::size_t>(offset - start));
            }
        }
        position += chunk;
    }
    return out;
}

}  // namespace tavelin::UnicodeText
