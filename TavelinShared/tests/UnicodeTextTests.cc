// Lowercasing, trimming and the cut at user-perceived characters are tested through the update
// verdicts, where their exact rules matter; these are the cases those texts do not reach.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "TavelinShared/UnicodeText.h"

namespace tavelin {
namespace {

TEST(UnicodeTextTests, RepairsEachIllFormedSequenceWithOneReplacementCharacter) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"a\xFF"
         "b",
         "a" + fffd + "b"},
        {"\xE2\x80", fffd},         // truncated: one maximal subpart
        {"\xC0\xAF", fffd + fffd},  // overlong form: two ill-formed bytes
        {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(UnicodeText::decodeUtf8Lossy(input), expected) << input;
    }
}

TEST(UnicodeTextTests, ComparesByCanonicalEquivalenceAndCutsAtCharacters) {
    EXPECT_TRUE(UnicodeText::canonicallyEqual("\xE2\x84\xAB", "\xC3\x85"));  // Angstrom sign
    EXPECT_FALSE(UnicodeText::canonicallyEqual("\xEF\xAC\x81", "fi"));       // only compatibility
    EXPECT_FALSE(UnicodeText::canonicallyEqual("\xFF", "\xFE"));
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    EXPECT_EQ(UnicodeText::leadingGraphemeClusters(family + "!", 1), family);
    EXPECT_EQ(UnicodeText::leadingGraphemeClusters("\U0001F1E9\U0001F1EA\U0001F1E9", 2),
              "\U0001F1E9\U0001F1EA\U0001F1E9");  // an odd indicator stands alone
    EXPECT_EQ(UnicodeText::leadingGraphemeClusters("abc", 4), "abc");
}

}  // namespace
}  // namespace tavelin
