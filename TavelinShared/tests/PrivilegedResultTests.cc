#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

std::string shown(std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
}

TEST(PrivilegedResultTests, EncodesExactBytesAndDecodesThemToAnEqualResult) {
    const struct {
        PrivilegedResult result;
        std::string expected;
    } cases[] = {
        // Non-ASCII stays raw UTF-8 (here ü – „“ U+2028); the solidus is escaped.
        {{false, "Ung\xC3\xBCltig \xE2\x80\x93 \xE2\x80\x9E\xE2\x80\x9C\xE2\x80\xA8 /L", 0},
         "{\"success\":false,\"message\":\"Ung\xC3\xBCltig \xE2\x80\x93 \xE2\x80\x9E\xE2\x80\x9C"
         "\xE2\x80\xA8 \\/L\",\"freedBytes\":0}"},
        {{true, "", int64Max}, R"({"success":true,"message":"","freedBytes":9223372036854775807})"},
        {{false, "", int64Min},
         R"({"success":false,"message":"","freedBytes":-9223372036854775808})"},
        // Quotation mark, backslash, control characters; DEL is not escaped.
        {{true, std::string("\"\\\b\f\n\r\t\0\x1F\x7F", 10), 1048576},
         "{\"success\":true,\"message\":\"\\\"\\\\\\b\\f\\n\\r\\t\\u0000\\u001f\x7F\","
         "\"freedBytes\":1048576}"},
    };
    for (const auto& c : cases) {
        const auto encoded = c.result.encode();
        ASSERT_TRUE(encoded.has_value()) << shown(c.expected);
        EXPECT_EQ(*encoded, c.expected);
        const auto decoded = PrivilegedResult::decode(c.expected);
        ASSERT_TRUE(decoded.has_value())
            << shown(c.expected) << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), c.result) << shown(c.expected);
        EXPECT_EQ(decoded.value().message(), c.result.message()) << shown(c.expected);
    }
    for (const std::string message : {"\xFF", "a\xC3", "\xED\xA0\x80"}) {
        const auto encoded = PrivilegedResult(true, message, 0).encode();
        ASSERT_FALSE(encoded.has_value()) << shown(message);
        EXPECT_EQ(encoded.error().codingPath, std::vector<std::string>{"message"});
    }
}

TEST(PrivilegedResultTests, DecodesAnyMemberOrderAnyIntegerSpellingAndIgnoresOtherMembers) {
    const std::string head = R"({"success":true,"message":"m","freedBytes":)";
    const struct {
        std::string input;
        PrivilegedResult expected;
    } cases[] = {
        {R"({"freedBytes":-0,"message":"\/a\u00fc","x":{"y":null},"Success":1,"success":false})",
         {false, "/a\xC3\xBC", 0}},
        // Other members may hold any valid JSON.
        {R"({"x":1e400,"y":{"a":1,"a":[-2e999]},"success":true,"message":"m","freedBytes":1})",
         {true, "m", 1}},
        // freedBytes: any spelling of an integer in the signed 64-bit range, judged exactly.
        {head + "1.0}", {true, "m", 1}},
        {head + "1E+3}", {true, "m", 1000}},
        {head + "100e-2}", {true, "m", 1}},
        {head + "-0.0}", {true, "m", 0}},
        {head + "0e5}", {true, "m", 0}},
        {head + "0e999999999999999999999}", {true, "m", 0}},
        {head + "9223372036854775807.0}", {true, "m", int64Max}},
        {head + "9.223372036854775807e18}", {true, "m", int64Max}},
        {head + "922337203685477580700e-2}", {true, "m", int64Max}},
        {head + "-9223372036854775808}", {true, "m", int64Min}},
        {head + "-0.9223372036854775808e19}", {true, "m", int64Min}},
        {head + "9007199254740993.0}", {true, "m", 9007199254740993}},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedResult::decode(c.input);
        ASSERT_TRUE(decoded.has_value()) << shown(c.input) << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), c.expected) << shown(c.input);
        EXPECT_EQ(decoded.value().freedBytes(), c.expected.freedBytes()) << shown(c.input);
    }
}

TEST(PrivilegedResultTests, RefusesDocumentsWithTheKindOfTheFirstBadMember) {
    using K = DecodingErrorKind;
    const std::string head = R"({"success":true,"message":"x","freedBytes":)";
    const struct {
        std::string input;
        K kind;
        std::vector<std::string> path;
    } cases[] = {
        {"{", K::dataCorrupted, {}},
        {"{\"success\":true,\"message\":\"\xFF\",\"freedBytes\":0}", K::dataCorrupted, {}},
        {R"({"success":true,"message":{"a":1,"a":2},"freedBytes":0})", K::dataCorrupted, {}},
        {R"({"success":true,"success":true,"message":"x","freedBytes":0})", K::dataCorrupted, {}},
        {"null", K::valueNotFound, {}},
        {"[]", K::typeMismatch, {}},
        // Missing, null and mistyped members, the first in the order success, message, freedBytes.
        {R"({"Success":true,"message":"x","freedBytes":0})", K::keyNotFound, {"success"}},
        {R"({"success":true,"freedBytes":0})", K::keyNotFound, {"message"}},
        {R"({"success":true,"message":"x"})", K::keyNotFound, {"freedBytes"}},
        {R"({"success":null,"message":"x","freedBytes":0})", K::valueNotFound, {"success"}},
        {head + "null}", K::valueNotFound, {"freedBytes"}},
        {R"({"success":1,"message":"x","freedBytes":0})", K::typeMismatch, {"success"}},
        {R"({"success":true,"message":5,"freedBytes":0})", K::typeMismatch, {"message"}},
        {head + "\"0\"}", K::typeMismatch, {"freedBytes"}},
        {R"({"freedBytes":"0","message":null})", K::keyNotFound, {"success"}},
        {R"({"success":false,"freedBytes":null,"message":7})", K::typeMismatch, {"message"}},
        // Numbers that are not a signed 64-bit integer.
        {head + "9223372036854775808}", K::dataCorrupted, {"freedBytes"}},
        {head + "-9223372036854775809}", K::dataCorrupted, {"freedBytes"}},
        {head + "9223372036854775807.5}", K::dataCorrupted, {"freedBytes"}},
        {head + "1.5}", K::dataCorrupted, {"freedBytes"}},
        {head + "1e-400}", K::dataCorrupted, {"freedBytes"}},
        {head + "1e19}", K::dataCorrupted, {"freedBytes"}},
        {head + "18446744073709551615.0}", K::dataCorrupted, {"freedBytes"}},
        {head + "1e999999999999999999999}", K::dataCorrupted, {"freedBytes"}},
        {head + "1e400}", K::dataCorrupted, {"freedBytes"}},
        {head + "-" + std::string(400, '9') + "}", K::dataCorrupted, {"freedBytes"}},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedResult::decode(c.input);
        ASSERT_FALSE(decoded.has_value()) << shown(c.input);
        EXPECT_EQ(kindName(decoded.error().kind), kindName(c.kind)) << shown(c.input);
        EXPECT_EQ(decoded.error().codingPath, c.path) << shown(c.input);
    }
}

TEST(PrivilegedResultTests, ComparesAllFieldsWithMessagesUpToCanonicalEquivalence) {
    EXPECT_EQ(PrivilegedResult(true, "M\xC3\xBCller", 0),
              PrivilegedResult(true, "Mu\xCC\x88ller", 0));
    EXPECT_NE(PrivilegedResult(true, "M\xC3\xBCller", 0), PrivilegedResult(true, "Muller", 0));
    EXPECT_NE(PrivilegedResult(true, "x", 1), PrivilegedResult(true, "x", 2));
    EXPECT_NE(PrivilegedResult(true, "x", 1), PrivilegedResult(false, "x", 1));
}

}  // namespace
}  // namespace tavelin
