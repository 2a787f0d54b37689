#include "TavelinShared/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace tavelin::UnicodeText {

namespace {

bool fitsIcuLength(std::string_view text) {
    return text.size() <= static_cast<std::size_t>(INT32_MAX);
}

// ICU works with 32-bit offsets; longer texts are handled in pieces of this size at most.
constexpr std::size_t pieceLimit = std::size_t{1} << 30U;

// U+FFFD REPLACEMENT CHARACTER, which stands for each ill-formed subpart when decoding.
constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

// The largest end <= `limit` that does not split a UTF-8 sequence (at least `from` + 1).
std::size_t scalarBoundaryAtOrBefore(std::string_view text, std::size_t from, std::size_t limit) {
    std::size_t end = std::min(limit, text.size());
    while (end > from + 1 && end < text.size() && isContinuationByte(text[end])) {
        --end;
    }
    return end;
}

// The scalar that starts at `position` and where the next one starts. Decodes only a window of
// at most four bytes, so offsets beyond ICU's 32-bit range are fine.
std::pair<UChar32, std::size_t> scalarAt(std::string_view text, std::size_t position) {
    const std::size_t window = std::min<std::size_t>(4, text.size() - position);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data() + position);
    std::int32_t offset = 0;
    UChar32 codePoint = 0;
    U8_NEXT(bytes, offset, static_cast<std::int32_t>(window), codePoint);
    return {codePoint, position + static_cast<std::size_t>(offset)};
}

bool isSpaceSeparatorOrTab(UChar32 codePoint) {
    return codePoint == 0x0009 || u_charType(codePoint) == U_SPACE_SEPARATOR;
}

void appendLowercase(std::string_view piece, std::string& out) {
    std::string lowered;
    icu::StringByteSink<std::string> sink(&lowered);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower(
        "", 0, icu::StringPiece(piece.data(), static_cast<std::int32_t>(piece.size())), sink,
        nullptr, status);
    // ICU fails here only when it cannot allocate; the unmapped text is the best we can give.
    out += U_SUCCESS(status) ? std::string_view(lowered) : piece;
}

// Fallback when ICU's break data cannot be loaded: count scalars instead of clusters.
std::string_view leadingScalars(std::string_view text, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t taken = 0; taken < count && end < text.size(); ++taken) {
        end = scalarAt(text, end).second;
    }
    return text.substr(0, end);
}

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
    const auto left = icu::UnicodeString::fromUTF8(
        icu::StringPiece(lhs.data(), static_cast<std::int32_t>(lhs.size())));
    const auto right = icu::UnicodeString::fromUTF8(
        icu::StringPiece(rhs.data(), static_cast<std::int32_t>(rhs.size())));
    const icu::UnicodeString leftNfd = nfd->normalize(left, status);
    const icu::UnicodeString rightNfd = nfd->normalize(right, status);
    return U_SUCCESS(status) && leftNfd == rightNfd;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    std::string out;
    out.reserve(bytes.size() + 16);
    Utf8LossyDecoder decoder;
    decoder.decode(bytes, out);
    decoder.finish(out);
    return out;
}

void Utf8LossyDecoder::decode(std::string_view bytes, std::string& out) {
    std::size_t position = 0;
    // First settle a sequence the previous piece ended inside, adding one byte at a time.
    // The held-back bytes were one ill-formed subpart reaching the end of the input, so the
    // scalar or subpart they start takes all of them and at most the one new byte.
    while (pendingSize_ > 0 && position < bytes.size()) {
        pending_[pendingSize_] = bytes[position];
        ++pendingSize_;
        const auto [codePoint, length] =
            scalarAt(std::string_view(pending_.data(), pendingSize_), 0);
        if (codePoint < 0 && length == pendingSize_ && pendingSize_ < pending_.size()) {
            ++position;  // still cut off: wait for the next byte
            continue;
        }
        out += codePoint < 0 ? replacementCharacter : std::string_view(pending_.data(), length);
        // The new byte belongs to it, or starts what comes next and is decoded below.
        if (length == pendingSize_) {
            ++position;
        }
        pendingSize_ = 0;
    }
    // Then the rest, in pieces ICU's 32-bit offsets can address, appending runs of
    // well-formed scalars whole.
    while (position < bytes.size()) {
        const std::size_t chunk = std::min(bytes.size() - position, pieceLimit);
        const bool lastChunk = position + chunk == bytes.size();
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data() + position);
        const auto length = static_cast<std::int32_t>(chunk);
        std::int32_t offset = 0;
        std::int32_t run = 0;  // where the well-formed scalars not yet appended start
        std::optional<std::int32_t> cut;
        while (offset < length) {
            const std::int32_t start = offset;
            UChar32 codePoint = 0;
            U8_NEXT(data, offset, length, codePoint);
            if (codePoint >= 0) {
                continue;
            }
            out.append(bytes.data() + position + run, static_cast<std::size_t>(start - run));
            run = offset;
            if (offset == length) {
                // Ill-formed only so far, perhaps: the bytes after the chunk decide.
                cut = start;
                break;
            }
            out += replacementCharacter;
        }
        if (!cut) {
            out.append(bytes.data() + position + run, static_cast<std::size_t>(length - run));
            position += chunk;
            continue;
        }
        position += static_cast<std::size_t>(*cut);
        if (!lastChunk) {
            continue;  // the next chunk starts with it and holds what decides it
        }
        // A subpart U8_NEXT reports is never longer than three bytes, so it fits.
        pendingSize_ = bytes.size() - position;
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(position), bytes.end(),
                  pending_.begin());
        return;
    }
}

void Utf8LossyDecoder::finish(std::string& out) {
    const std::string_view held(pending_.data(), pendingSize_);
    std::size_t position = 0;
    while (position < held.size()) {
        const auto [codePoint, next] = scalarAt(held, position);
        out += codePoint < 0 ? replacementCharacter : held.substr(position, next - position);
        position = next;
    }
    pendingSize_ = 0;
}

std::string lowercase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t end = scalarBoundaryAtOrBefore(text, position, position + pieceLimit);
        appendLowercase(text.substr(position, end - position), out);
        position = end;
    }
    return out;
}

std::string_view trimSpaceSeparatorsAndTabs(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto [codePoint, next] = scalarAt(text, begin);
        if (!isSpaceSeparatorOrTab(codePoint)) {
            break;
        }
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const auto [codePoint, start] = scalarBefore(text, end);
        if (!isSpaceSeparatorOrTab(codePoint)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string_view leadingGraphemeClusters(std::string_view text, std::size_t count) {
    if (count == 0 || text.empty()) {
        return text.substr(0, 0);
    }
    const std::string_view segmented =
        text.substr(0, scalarBoundaryAtOrBefore(text, 0, pieceLimit));
    UErrorCode status = U_ZERO_ERROR;
    icu::LocalUTextPointer utf8(utext_openUTF8(
        nullptr, segmented.data(), static_cast<std::int64_t>(segmented.size()), &status));
    std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status)) {
        clusters->setText(utf8.getAlias(), status);
    }
    if (U_FAILURE(status) || !clusters) {
        return leadingScalars(text, count);
    }
    std::int32_t boundary = clusters->first();
    for (std::size_t taken = 0; taken < count; ++taken) {
        const std::int32_t next = clusters->next();
        if (next == icu::BreakIterator::DONE) {
            return segmented;
        }
        boundary = next;
    }
    return text.substr(0, static_cast<std::size_t>(boundary));
}

std::pair<UChar32, std::size_t> scalarBefore(std::string_view text, std::size_t end) {
    const std::size_t window = std::min<std::size_t>(4, end);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data() + end - window);
    auto offset = static_cast<std::int32_t>(window);
    UChar32 codePoint = 0;
    U8_PREV(bytes, 0, offset, codePoint);
    return {codePoint, end - window + static_cast<std::size_t>(offset)};
}

}  // namespace tavelin::UnicodeText
