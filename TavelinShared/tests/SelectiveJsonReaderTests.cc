#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "../src/SelectiveJsonReader.h"
#include "TavelinShared/UnicodeText.h"

namespace tavelin::json {
namespace {

std::string shown(std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
}

// Keeps {"a": {"b": <leaf>}, "list": [<leaf>...]} and nothing else.
JsonSelection sampleSelection() {
    JsonSelection list;
    list.keepElements = true;
    JsonSelection a;
    a.members.push_back({"b", JsonSelection{}});
    JsonSelection root;
    root.members.push_back({"a", a});
    root.members.push_back({"list", list});
    return root;
}

TEST(SelectiveJsonReaderTests, KeepsOnlySelectedPartsAndEmptiesUnselectedContainers) {
    // What was kept, as nlohmann dumps it.
    const struct {
        std::string input, kept;
    } cases[] = {
        {R"({"a":{"b":{"deep":[1]},"c":2},"z":[1,2,3]})", R"({"a":{"b":{}}})"},
        {R"({"a":[{"b":1}],"list":[1,"s",null,[2,[3]],{"k":4},1.5,18446744073709551615]})",
         R"({"a":[],"list":[1,"s",null,[],{},1.5,18446744073709551615]})"},
        {R"({"z":{"a":{"b":1}},"y":[{"list":[1]}]})", "{}"},
        // Numbers by exact value: integers however written, judged from the digits.
        {R"({"list":[1.0,-0.0,0.7e1,1E+3,9007199254740993.0,-9223372036854775808.0,
                     18446744073709551615e0,18446744073709551616,1e-400,2.5]})",
         R"({"list":[1,0,7,1000,9007199254740993,-9223372036854775808,18446744073709551615,)"
         R"(1.8446744073709552e+19,0.0,2.5]})"},
        {R"("top")", R"("top")"},
    };
    for (const auto& c : cases) {
        const auto read = readSelectedJson(c.input, sampleSelection());
        ASSERT_TRUE(read.has_value()) << shown(c.input) << ": " << read.error().description;
        EXPECT_EQ(read.value().root.dump(), c.kept) << shown(c.input);
    }
    // Beyond a double's range: an infinity of the number's sign, however many finite floats
    // (here 0.5, the finite text such numbers are read as) stand around it.
    const auto huge = readSelectedJson(R"({"list":[0.5,1e400,0.5,-1e999,0.5]})", sampleSelection());
    ASSERT_TRUE(huge.has_value()) << huge.error().description;
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<double> expected = {0.5, infinity, 0.5, -infinity, 0.5};
    EXPECT_EQ(huge.value().root.at("list").get<std::vector<double>>(), expected);
}

TEST(SelectiveJsonReaderTests,
     RefusesAnythingButOneStrictUtf8JsonTextWithSingleNamesInKeptObjects) {
    const struct {
        std::string input;
        bool accepted;
    } cases[] = {
        // Syntax and trailing content.
        {" [ ] \n", true},
        {"[] []", false},
        {"[1,]", false},
        {"[01]", false},
        {"[NaN]", false},
        // Numbers of any size, also beyond a double's range; the rest of the text still counts.
        {"[1e999,-2e308,\"x\",1.5]", true},
        {"[" + std::string(400, '9') + "]", true},
        {"[1e999,01]", false},
        {"/* c */ []", false},
        {"[\"a\tb\"]", false},  // raw control character in a string
        {"[\"\\u00e\"]", false},
        {"\xEF\xBB\xBF[]", true},  // a byte order mark at the start is skipped
        {"[]\xEF\xBB\xBF", false},
        // UTF-8 in strings: well-formed sequences only, escaped surrogates only in pairs.
        {"[\"\xC3\xBC\xE2\x80\x93\xF0\x9F\x98\x80\"]", true},
        {"[\"\\ud83d\\ude00\"]", true},
        {"[\"\x80\"]", false},
        {"[\"\xE2\x80\"]", false},
        {"[\"\xC0\xAF\"]", false},          // overlong '/'
        {"[\"\xED\xA0\x80\"]", false},      // encoded surrogate
        {"[\"\xF4\x90\x80\x80\"]", false},  // beyond U+10FFFF
        {"[\"\\ud800x\"]", false},
        {"[\"\\udc00\"]", false},
        {"[1\xC2\xA0]", false},  // NO-BREAK SPACE is no JSON whitespace
        // Member names once per kept object, also one kept empty; names compare after
        // unescaping and byte for byte (no normalisation). Objects in values that are not
        // kept may repeat names.
        {R"({"a":1,"A":1,"b":{"a":1},"c":[{"a":1}]})", true},
        {R"({"\u00fc":1,"u\u0308":1})", true},
        {R"({"\/":1,"/":1})", false},
        {R"({"a":{"b":1,"b":2}})", false},
        {R"({"a":{"b":{"d":1,"d":2}}})", false},
        {R"({"list":[{"k":1,"k":2}]})", false},
        {R"({"z":[[{"x":1,"y":2,"x":3}]],"a":{"c":{"x":1,"x":2}},"list":[[{"k":1,"k":2}]]})", true},
        {R"({"z":1e400,"y":{"q":1,"q":2},"a":{"b":[-1e999]}})", true},
        {R"({"z":1e400,"list":[],"list":[]})", false},
    };
    for (const auto& c : cases) {
        const auto read = readSelectedJson(c.input, sampleSelection());
        EXPECT_EQ(read.has_value(), c.accepted) << shown(c.input);
        if (!read.has_value()) {
            EXPECT_EQ(read.error().kind, DecodingErrorKind::dataCorrupted) << shown(c.input);
            EXPECT_TRUE(read.error().codingPath.empty()) << shown(c.input);
        }
    }
}

TEST(SelectiveJsonReaderTests, KeepsDescriptionsShortAndUtf8WhateverTheDocumentHolds) {
    const std::string inputs[] = {
        "[\"" + std::string(100000, 'a') + "\xFF\"]",
        "{\"" + std::string(5000, 'k') + "\xC3\xBC\":1,\"" + std::string(5000, 'k') +
            "\xC3\xBC\":2}",
    };
    for (const auto& input : inputs) {
        const auto read = readSelectedJson(input, sampleSelection());
        ASSERT_FALSE(read.has_value()) << input.size();
        EXPECT_LT(read.error().description.size(), 1000U);
        EXPECT_TRUE(UnicodeText::isValidUtf8(read.error().description)) << read.error().description;
    }
}

}  // namespace
}  // namespace tavelin::json
