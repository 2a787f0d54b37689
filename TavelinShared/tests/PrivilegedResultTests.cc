#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

using Path = std::vector<std::string>;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

std::string shown(std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
}

std::string shown(const PrivilegedResult& result) {
    return ::testing::PrintToString(result.success()) + " " + shown(result.message()) + " " +
           std::to_string(result.freedBytes());
}

TEST(PrivilegedResultTests, EncodesTheExactBytesOfTheWireFormat) {
    struct Case {
        PrivilegedResult result;
        std::string expected;
    };
    const Case cases[] = {
        {{false, "Ung\xC3\xBCltige Operation", 0},
         "{\"success\":false,\"message\":\"Ung\xC3\xBCltige Operation\",\"freedBytes\":0}"},
        {{true, "Rechte gesetzt: /Library/Logs/DiagnosticReports", 0},
         R"({"success":true,"message":"Rechte gesetzt: \/Library\/Logs\/DiagnosticReports","freedBytes":0})"},
        {{true, "3 Pfade entfernt", 1048576},
         R"({"success":true,"message":"3 Pfade entfernt","freedBytes":1048576})"},
        {{true, "", int64Max}, R"({"success":true,"message":"","freedBytes":9223372036854775807})"},
        {{false, "", int64Min},
         R"({"success":false,"message":"","freedBytes":-9223372036854775808})"},
        {{false, "", -1}, R"({"success":false,"message":"","freedBytes":-1})"},
        // Non-ASCII stays raw UTF-8: ü – „“ and U+2028.
        {{true, "\xC3\xBC \xE2\x80\x93 \xE2\x80\x9E\xE2\x80\x9C\xE2\x80\xA8", 0},
         "{\"success\":true,\"message\":\"\xC3\xBC \xE2\x80\x93 \xE2\x80\x9E\xE2\x80\x9C"
         "\xE2\x80\xA8\",\"freedBytes\":0}"},
        // Quotation mark, backslash, solidus, control characters; DEL is not escaped.
        {{true, "\"\\/", 0}, R"({"success":true,"message":"\"\\\/","freedBytes":0})"},
        {{true, "\b\f\n\r\t", 0}, R"({"success":true,"message":"\b\f\n\r\t","freedBytes":0})"},
        {{true, std::string("\0\x01\x0B\x1F\x7F", 5), 0},
         "{\"success\":true,\"message\":\"\\u0000\\u0001\\u000b\\u001f\x7F\",\"freedBytes\":0}"},
    };
    for (const auto& c : cases) {
        const auto encoded = c.result.encode();
        ASSERT_TRUE(encoded.has_value()) << shown(c.result);
        EXPECT_EQ(*encoded, c.expected) << shown(c.result);
    }
}

TEST(PrivilegedResultTests, RefusesToEncodeAMessageThatIsNotUtf8) {
    const std::string messages[] = {"\xFF", "a\xC3", "\xED\xA0\x80", "\xC0\xAF",
                                    "\xF4\x90\x80\x80"};
    for (const auto& message : messages) {
        EXPECT_FALSE(PrivilegedResult(true, message, 0).encode().has_value()) << shown(message);
    }
}

TEST(PrivilegedResultTests, DecodesAnyMemberOrderEscapesAndIgnoresOtherMembers) {
    struct Case {
        std::string input;
        PrivilegedResult expected;
    };
    const Case cases[] = {
        {"{\"success\":false,\"message\":\"Ung\xC3\xBCltige Operation\",\"freedBytes\":0}",
         {false, "Ung\xC3\xBCltige Operation", 0}},
        {R"({"freedBytes":5,"message":"x","success":false,"extra":[1,2]})", {false, "x", 5}},
        {R"({"message":"\/a\u00fc","success":true,"freedBytes":-0})", {true, "/a\xC3\xBC", 0}},
        {" { \"success\" : true ,\n\"message\":\"\", \"freedBytes\" : 9223372036854775807 } ",
         {true, "", int64Max}},
        {R"({"success":true,"message":"","freedBytes":-9223372036854775808})",
         {true, "", int64Min}},
        {R"({"success":true,"message":"m","freedBytes":1,"Success":false,"x":{"y":null}})",
         {true, "m", 1}},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedResult::decode(c.input);
        ASSERT_TRUE(decoded.ok()) << shown(c.input) << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), c.expected) << shown(c.input);
        EXPECT_EQ(decoded.value().message(), c.expected.message()) << shown(c.input);
    }
}

TEST(PrivilegedResultTests, RefusesDocumentsWithTheKindOfTheFirstBadMember) {
    struct Case {
        std::string input;
        DecodingErrorKind kind;
        Path path;
    };
    using K = DecodingErrorKind;
    const Case cases[] = {
        {"", K::dataCorrupted, {}},
        {"{", K::dataCorrupted, {}},
        {R"({"success":true,"message":"x","freedBytes":0}x)", K::dataCorrupted, {}},
        {"{\"success\":true,\"message\":\"\xFF\",\"freedBytes\":0}", K::dataCorrupted, {}},
        {R"({"success":true,"message":"\udfff","freedBytes":0})", K::dataCorrupted, {}},
        {R"({"success":true,"success":true,"message":"x","freedBytes":0})", K::dataCorrupted, {}},
        {R"({"success":true,"message":"x","freedBytes":0,"e":{"a":1,"a":1}})",
         K::dataCorrupted,
         {}},
        {"null", K::valueNotFound, {}},
        {"[]", K::typeMismatch, {}},
        {R"("x")", K::typeMismatch, {}},
        // Missing members, the first in the order success, message, freedBytes.
        {"{}", K::keyNotFound, {"success"}},
        {R"({"message":"x","freedBytes":0})", K::keyNotFound, {"success"}},
        {R"({"success":true,"freedBytes":0})", K::keyNotFound, {"message"}},
        {R"({"success":true,"message":"x"})", K::keyNotFound, {"freedBytes"}},
        {R"({"Success":true,"message":"x","freedBytes":0})", K::keyNotFound, {"success"}},
        // Null members.
        {R"({"success":null,"message":"x","freedBytes":0})", K::valueNotFound, {"success"}},
        {R"({"success":true,"message":null,"freedBytes":0})", K::valueNotFound, {"message"}},
        {R"({"success":true,"message":"x","freedBytes":null})", K::valueNotFound, {"freedBytes"}},
        // Members of another JSON type.
        {R"({"success":1,"message":"x","freedBytes":0})", K::typeMismatch, {"success"}},
        {R"({"success":"true","message":"x","freedBytes":0})", K::typeMismatch, {"success"}},
        {R"({"success":true,"message":5,"freedBytes":0})", K::typeMismatch, {"message"}},
        {R"({"success":true,"message":["x"],"freedBytes":0})", K::typeMismatch, {"message"}},
        {R"({"success":true,"message":"x","freedBytes":"0"})", K::typeMismatch, {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":false})", K::typeMismatch, {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":{}})", K::typeMismatch, {"freedBytes"}},
        // Numbers that are not a signed 64-bit integer.
        {R"({"success":true,"message":"x","freedBytes":18446744073709551615})",
         K::dataCorrupted,
         {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":9223372036854775808})",
         K::dataCorrupted,
         {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":-9223372036854775809})",
         K::dataCorrupted,
         {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":1.5})", K::dataCorrupted, {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":1.0})", K::dataCorrupted, {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":1e3})", K::dataCorrupted, {"freedBytes"}},
        {R"({"success":true,"message":"x","freedBytes":1e999})", K::dataCorrupted, {}},
        // Several bad members: the earliest in the fixed order decides.
        {R"({"freedBytes":"0","message":null})", K::keyNotFound, {"success"}},
        {R"({"freedBytes":1.5,"success":1})", K::typeMismatch, {"success"}},
        {R"({"success":false,"freedBytes":null,"message":7})", K::typeMismatch, {"message"}},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedResult::decode(c.input);
        ASSERT_FALSE(decoded.ok()) << shown(c.input) << " decoded to " << shown(decoded.value());
        EXPECT_EQ(kindName(decoded.error().kind), kindName(c.kind)) << shown(c.input);
        EXPECT_EQ(decoded.error().codingPath, c.path) << shown(c.input);
    }
}

TEST(PrivilegedResultTests, DecodesWhatItEncodesToAnEqualResult) {
    const PrivilegedResult results[] = {
        {false, "Ung\xC3\xBCltige Operation", 0},
        {true, "", 0},
        {true, "/Library/\xC3\xBC \xE2\x80\x93 \xE2\x80\x9E\xE2\x80\x9C", int64Max},
        {false, std::string("\0\b\f\n\r\t\x1F\"\\/\x7F", 11), int64Min},
        {true, "\xF0\x9F\x98\x80 \xE2\x80\xA8 \xE2\x80\xA9", -42},
    };
    for (const auto& result : results) {
        const auto encoded = result.encode();
        ASSERT_TRUE(encoded.has_value()) << shown(result);
        const auto decoded = PrivilegedResult::decode(*encoded);
        ASSERT_TRUE(decoded.ok()) << *encoded << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), result) << *encoded;
        EXPECT_EQ(decoded.value().message(), result.message()) << *encoded;
    }
}

TEST(PrivilegedResultTests, ComparesAllFieldsWithMessagesUpToCanonicalEquivalence) {
    struct Case {
        PrivilegedResult lhs;
        PrivilegedResult rhs;
        bool equal;
    };
    const Case cases[] = {
        {{true, "x", 1}, {true, "x", 1}, true},
        {{true, "x", 1}, {true, "x", 2}, false},
        {{true, "x", 1}, {false, "x", 1}, false},
        {{true, "x", 1}, {true, "y", 1}, false},
        {{true, "M\xC3\xBCller", 0}, {true, "Mu\xCC\x88ller", 0}, true},
        {{true, "M\xC3\xBCller", 0}, {true, "Muller", 0}, false},
        {{true, "", int64Min}, {true, "", int64Max}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lhs == c.rhs, c.equal) << shown(c.lhs) << " vs " << shown(c.rhs);
    }
}

}  // namespace
}  // namespace tavelin
