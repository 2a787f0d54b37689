#include "TavelinShared/UnicodeText.h"

#include <gtest/gtest.h>

#include <string>

namespace tavelin {
namespace {

TEST(UnicodeTextTests, DecodesUtf8ReplacingEachIllFormedSequence) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"f\xC3\xBCr", "f\xC3\xBCr"},
        {"a\xFF" "b", "a" + fffd + "b"},
        {"\xC3", fffd},                                   // truncated two-byte sequence
        {"\xE2\x80", fffd},                               // truncated three-byte sequence, one subpart
        {"\xC0\xAF", fffd + fffd},                        // overlong form: two ill-formed bytes
        {"\xED\xA0\x80", fffd + fffd + fffd},             // encoded surrogate
        {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeText::decodeUtf8Lossy(c.input), c.expected) << c.input;
        EXPECT_TRUE(UnicodeText::isValidUtf8(UnicodeText::decodeUtf8Lossy(c.input))) << c.input;
    }
}

TEST(UnicodeTextTests, ComparesByCanonicalEquivalence) {
    struct Case {
        std::string lhs;
        std::string rhs;
        bool equal;
    };
    const Case cases[] = {
        {"\xC3\xBC", "u\xCC\x88", true},     // ü precomposed vs u + combining diaeresis
        {"\xC3\xBC", "u", false},
        {"\xE2\x84\xAB", "\xC3\x85", true},  // ANGSTROM SIGN vs Å (singleton decomposition)
        {"\xEF\xAC\x81", "fi", false},       // ﬁ ligature is only compatibility-equivalent
        {"", "", true},
        {"\xFF", "\xFF", true},
        {"\xFF", "\xFE", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeText::canonicallyEqual(c.lhs, c.rhs), c.equal) << c.lhs << " vs " << c.rhs;
    }
}

TEST(UnicodeTextTests, LowercasesWithTheFullMappingInTheRootLocale) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"", ""},
        {"No New Software AVAILABLE.", "no new software available."},
        {"\u0130", "i\u0307"},                          // capital I with dot: two scalars
        {"I", "i"},                                       // no Turkish tailoring in the root locale
        {"\u03A3\u0391\u03A3 X", "\u03C3\u03B1\u03C2 x"},  // final sigma
        {"\u1E9E\u00C4\u00D6\u00DC", "\u00DF\u00E4\u00F6\u00FC"},
        {"\u212A", "k"},                                  // Kelvin sign
        {"\u017F\u00DF", "\u017F\u00DF"},                  // already lowercase; not case folding
        {"\uFF21\U00010400", "\uFF41\U00010428"},           // fullwidth and supplementary letters
        {"A\xFF" "B", "a\xFF" "b"},                         // ill-formed bytes are copied
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeText::lowercase(c.input), c.expected) << c.input;
    }
}

TEST(UnicodeTextTests, TrimsSpaceSeparatorsAndTabsAtBothEnds) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"", ""},
        {" \t ", ""},
        {"  a b  ", "a b"},
        {"\u00A0\u1680\u2000\u200A\u202F\u205F\u3000x\t\u00A0", "x"},
        {"\n x \n", "\n x \n"},                       // line ends are not blanks
        {"\u200Bx\u2028", "\u200Bx\u2028"},           // nor format characters or separators Zl
        {"\u0085x\u000B", "\u0085x\u000B"},
        {" \u0301x", "\u0301x"},                       // scalar-wise: the mark stays
        {"x\u00A0\u0301", "x\u00A0\u0301"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeText::trimSpaceSeparatorsAndTabs(c.input), c.expected) << c.input;
    }
}

TEST(UnicodeTextTests, TakesLeadingUserPerceivedCharacters) {
    struct Case {
        std::string input;
        std::size_t count;
        std::string expected;
    };
    const std::string flag = "\U0001F1E9\U0001F1EA";
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    const Case cases[] = {
        {"", 3, ""},
        {"abc", 0, ""},
        {"abc", 2, "ab"},
        {"abc", 3, "abc"},
        {"abc", 4, "abc"},
        {"e\u0301\u0323x", 1, "e\u0301\u0323"},
        {flag + flag, 1, flag},
        {"\U0001F1E9\U0001F1EA\U0001F1E9", 1, flag},  // an odd indicator stands alone
        {family + "!", 1, family},
        {"\r\nx", 1, "\r\n"},
        {"\n\u0301", 1, "\n"},                            // a mark does not join a line end
        {"\u1100\u1161\u11A8z", 1, "\u1100\u1161\u11A8"},  // Hangul syllable from jamo
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeText::leadingGraphemeClusters(c.input, c.count), c.expected) << c.input << " / " << c.count;
    }
}

}  // namespace
}  // namespace tavelin
