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

}  // namespace
}  // namespace tavelin
