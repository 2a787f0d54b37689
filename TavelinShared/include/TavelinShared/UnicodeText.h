#pragma once

#include <unicode/umachine.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

// Unicode helpers over UTF-8 std::strings, all backed by ICU.
namespace tavelin::UnicodeText {

// True when `text` is well-formed UTF-8 (no surrogates, no overlong forms).
[[nodiscard]] bool isValidUtf8(std::string_view text);

// Canonical equivalence (equal NFD forms): "\u00FC" equals "u\u0308".
// Ill-formed UTF-8 compares by its bytes.
[[nodiscard]] bool canonicallyEqual(std::string_view lhs, std::string_view rhs);

// Decodes bytes as UTF-8, replacing each ill-formed sequence with U+FFFD: each maximal
// subpart of an ill-formed sequence, as ICU's U8_NEXT marks them, becomes one U+FFFD.
[[nodiscard]] std::string decodeUtf8Lossy(std::string_view bytes);

// Decodes UTF-8 that arrives in pieces cut anywhere, exactly as decodeUtf8Lossy decodes the
// pieces joined: a sequence the end of a piece cuts off is held back (three bytes at most)
// until the next piece shows whether it goes on well-formed. What it appends always ends
// between scalars. Copyable, so a copy can be finished while the original goes on.
class Utf8LossyDecoder {
  public:
    // Appends the decoded text of `bytes` to `out`, holding back a sequence they end inside.
    void decode(std::string_view bytes, std::string& out);
    // The input has ended: appends what is held back, as decodeUtf8Lossy would at the end
    // of a text (U+FFFD for each ill-formed subpart). The decoder is then as new.
    void finish(std::string& out);

  private:
    // A sequence the last piece ended inside: at most three bytes of a four-byte sequence,
    // plus room for the byte that decides it.
    std::array<char, 4> pending_{};
    std::size_t pendingSize_ = 0;
};

// The full Unicode lowercase mapping in the root locale (no language tailoring), multi-
// character mappings included: "\u0130" (capital I with dot) becomes "i\u0307", and a
// final capital sigma becomes "\u03C2". This is lowercasing, not case folding: "\u017F"
// (long s) and "\u00DF" stay as they are. Ill-formed sequences are copied unchanged. Texts
// beyond 1 GiB are mapped in pieces split between scalars, so only the final-sigma context
// can differ at a piece boundary.
[[nodiscard]] std::string lowercase(std::string_view text);

// `text` without the scalars of general category Zs (U+0020, U+00A0, U+3000, ...) and
// U+0009 at both ends. Works scalar by scalar: a blank that carries a combining mark loses
// the blank and keeps the mark. Precondition: `text` is well-formed UTF-8.
[[nodiscard]] std::string_view trimSpaceSeparatorsAndTabs(std::string_view text);

// The longest prefix of `text` holding at most `count` user-perceived characters (extended
// grapheme clusters, so "e\u0301" and a flag made of two regional indicators count once);
// the whole text when it holds fewer. The prefix always ends on a cluster boundary, so a
// prefix of well-formed UTF-8 is well-formed. Only the first GiB of a text is segmented.
// Precondition: `text` is well-formed UTF-8.
[[nodiscard]] std::string_view leadingGraphemeClusters(std::string_view text, std::size_t count);

// The scalar that ends at byte offset `end` of well-formed UTF-8 `text`, and the offset where
// it starts. Decodes at most four bytes, so it works at any offset. Precondition: end > 0.
[[nodiscard]] std::pair<UChar32, std::size_t> scalarBefore(std::string_view text, std::size_t end);

}  // namespace tavelin::UnicodeText
