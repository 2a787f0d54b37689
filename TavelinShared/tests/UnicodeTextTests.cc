#include "TavelinShared/UnicodeText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavelin {
namespace {

struct Case {
    std::string input;
    std::string expected;
};

TEST(UnicodeTextTests, RepairsLowercasesAndTrims) {
    const std::string fffd = "\xEF\xBF\xBD";
    for (const auto& c : std::vector<Case>{
             {"a\xFF" "b", "a" + fffd + "b"},
             {"\xE2\x80", fffd},                    // truncated: one maximal subpart
             {"\xC0\xAF", fffd + fffd},             // overlong form: two ill-formed bytes
             {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
         }) {
        EXPECT_EQ(UnicodeText::decodeUtf8Lossy(c.input), c.expected) << c.input;
    }
    for (const auto& c : std::vector<Case>{
             {"\u0130", "i\u0307"},                              // full mapping: two scalars
             {"I", "i"},                                         // no Turkish tailoring
             {"\u03A3\u0391\u03A3 X", "\u03C3\u03B1\u03C2 x"},  // final sigma
             {"\u017F\u00DF", "\u017F\u00DF"},                  // not case folding
             {"A\xFF" "B", "a\xFF" "b"},                         // ill-formed bytes are copied
         }) {
        EXPECT_EQ(UnicodeText::lowercase(c.input), c.expected) << c.input;
    }
    for (const auto& c : std::vector<Case>{
             {"\u00A0\u3000 x y\t\u202F", "x y"},
             {"\n\u200Bx\u2028", "\n\u200Bx\u2028"},  // line ends, format characters stay
             {" \u0301x", "\u0301x"},                  // scalar-wise: the mark stays
         }) {
        EXPECT_EQ(UnicodeText::trimSpaceSeparatorsAndTabs(c.input), c.expected) << c.input;
    }
}

TEST(UnicodeTextTests, ComparesByCanonicalEquivalence) {
    EXPECT_TRUE(UnicodeText::canonicallyEqual("\xC3\xBC", "u\xCC\x88"));
    EXPECT_TRUE(UnicodeText::canonicallyEqual("\xE2\x84\xAB", "\xC3\x85"));  // Angstrom sign
    EXPECT_FALSE(UnicodeText::canonicallyEqual("\xEF\xAC\x81", "fi"));  // only compatibility
    EXPECT_FALSE(UnicodeText::canonicallyEqual("\xFF", "\xFE"));
}

TEST(UnicodeTextTests, TakesLeadingUserPerceivedCharacters) {
    const std::string flag = "\U0001F1E9\U0001F1EA";
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    const struct {
        std::string input;
        std::size_t count;
        std::string expected;
    } cases[] = {
        {"abc", 2, "ab"},
        {"abc", 4, "abc"},
        {"e\u0301\u0323x", 1, "e\u0301\u0323"},
        {"\U0001F1E9\U0001F1EA\U0001F1E9", 1, flag},  // an odd indicator stands alone
        {family + "!", 1, family},
        {"\r\nx", 1, "\r\n"},
        {"\n\u0301", 1, "\n"},  // a mark does not join a line end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeText::leadingGraphemeClusters(c.input, c.count), c.expected) << c.input;
    }
}

}  // namespace
}  // namespace tavelin
