#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin {
namespace {

using Op = PrivilegedOperation;

std::string shown(std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
}

// The encoding for messages, or a note that there is none.
std::string written(const Op& operation) {
    return operation.encode().value_or("<not encodable>");
}

TEST(PrivilegedOperationTests, DecodesRequestsAndIgnoresWhatCarriesNoMeaning) {
    const struct {
        std::string input;
        Op expected;
    } cases[] = {
        {R"({"removeSystemPaths":{"_0":["\/Library\/Caches\/T","/private/var/log/i.log"]}})",
         Op::removeSystemPaths({"/Library/Caches/T", "/private/var/log/i.log"})},
        {R"({"removeSystemPaths":{"_0":[]}})", Op::removeSystemPaths({})},
        {R"({"repairPermissions":{"path":"/Library/Logs/D"}})",
         Op::repairPermissions("/Library/Logs/D")},
        {" \t\r\n{ \"installSystemUpdates\" :\n{ } }\n ", Op::installSystemUpdates()},
        {R"({"repa\u0069rPermissions":{"p\u0061th":"/f\u00fcr \ud83d\ude00 \"q\" \\"}})",
         Op::repairPermissions("/f\xC3\xBCr \xF0\x9F\x98\x80 \"q\" \\")},
        {"\xEF\xBB\xBF{\"installSystemUpdates\":{}}", Op::installSystemUpdates()},
        // Unknown members, at the top level and in payloads, whatever they hold.
        {R"({"comment":{"removeSystemPaths":5},"repairPermissions":{"path":"/t","_0":[]}})",
         Op::repairPermissions("/t")},
        {R"({"x":[1.5e300,-0,18446744073709551615],"installSystemUpdates":{"path":5}})",
         Op::installSystemUpdates()},
        // Any valid JSON there: numbers beyond a double's range, repeated names.
        {R"({"x":1e400,"removeSystemPaths":{"_0":[]}})", Op::removeSystemPaths({})},
        {R"({"removeSystemPaths":{"_0":["/a","/b"]},"x":1e400})",
         Op::removeSystemPaths({"/a", "/b"})},
        {R"({"x":[-2e308,)" + std::string(400, '7') +
             R"(],"repairPermissions":{"path":"/t","n":1e999}})",
         Op::repairPermissions("/t")},
        {R"({"x":{"a":1,"a":{"b":2,"b":3}},"installSystemUpdates":{"y":{"c":1,"c":[1e400]}}})",
         Op::installSystemUpdates()},
        // Payloads are taken verbatim: repeats, NUL.
        {R"({"removeSystemPaths":{"_0":["/a","/a","/L/\u0000x"]}})",
         Op::removeSystemPaths({"/a", "/a", std::string("/L/\0x", 5)})},
    };
    for (const auto& c : cases) {
        const auto decoded = Op::decode(c.input);
        ASSERT_TRUE(decoded.has_value()) << shown(c.input) << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), c.expected) << shown(c.input);
    }
}

TEST(PrivilegedOperationTests, RefusesRequestsWithTheKindAndPathOfTheFirstFailure) {
    using K = DecodingErrorKind;
    const struct {
        std::string input;
        K kind;
        std::vector<std::string> path;
    } cases[] = {
        {"", K::dataCorrupted, {}},
        {"{\"repairPermissions\":{\"path\":\"/\xFF\"}}", K::dataCorrupted, {}},
        {R"({"repairPermissions":{"path":"/a","p\u0061th":"/b"}})", K::dataCorrupted, {}},
        // Repeated names where decoding looks, also after a number beyond a double's range.
        {R"({"installSystemUpdates":{"a":1,"a":2}})", K::dataCorrupted, {}},
        {R"({"x":1e400,"installSystemUpdates":{},"x":1})", K::dataCorrupted, {}},
        // A syntax fault outranks what the content would give.
        {R"({"repairPermissions":{"path":5},"x":{"b":1,]}})", K::dataCorrupted, {}},
        {R"({"repairPermissions":{"path":1e400},"x":[01]})", K::dataCorrupted, {}},
        {"null", K::valueNotFound, {}},
        {R"(["installSystemUpdates"])", K::typeMismatch, {}},
        {R"({"installSystemUpdates":null})", K::valueNotFound, {"installSystemUpdates"}},
        {R"({"removeSystemPaths":["/tmp"]})", K::typeMismatch, {"removeSystemPaths"}},
        {R"({"removeSystemPaths":{"paths":[]}})", K::keyNotFound, {"removeSystemPaths", "_0"}},
        {R"({"repairPermissions":{"Path":"/t"}})", K::keyNotFound, {"repairPermissions", "path"}},
        {R"({"repairPermissions":{"path":null}})", K::valueNotFound, {"repairPermissions", "path"}},
        {R"({"removeSystemPaths":{"_0":"/t"}})", K::typeMismatch, {"removeSystemPaths", "_0"}},
        {R"({"repairPermissions":{"path":5}})", K::typeMismatch, {"repairPermissions", "path"}},
        // A number beyond a double's range is a number like any other.
        {"1e400", K::typeMismatch, {}},
        {R"({"repairPermissions":{"path":-1e400},"x":{"b":1,"b":2}})",
         K::typeMismatch,
         {"repairPermissions", "path"}},
        {R"({"removeSystemPaths":)" + std::string(400, '9') + "}",
         K::typeMismatch,
         {"removeSystemPaths"}},
        {R"({"removeSystemPaths":{"_0":["/t",2e308]}})",
         K::typeMismatch,
         {"removeSystemPaths", "_0", "Index 1"}},
        {R"({"removeSystemPaths":{"_0":["/t",null]}})",
         K::valueNotFound,
         {"removeSystemPaths", "_0", "Index 1"}},
        {R"({"removeSystemPaths":{"_0":[["/t"],null]}})",
         K::typeMismatch,
         {"removeSystemPaths", "_0", "Index 0"}},
    };
    for (const auto& c : cases) {
        const auto decoded = Op::decode(c.input);
        ASSERT_FALSE(decoded.has_value())
            << shown(c.input) << " decoded to " << written(decoded.value());
        EXPECT_EQ(kindName(decoded.error().kind), kindName(c.kind)) << shown(c.input);
        EXPECT_EQ(decoded.error().codingPath, c.path) << shown(c.input);
    }
}

TEST(PrivilegedOperationTests, CountsRecognisedAlternativeNamesBeforeReadingAnyPayload) {
    for (const std::string input : {"{}", R"({"RepairPermissions":{"path":"/tmp"}})",
                                    R"({"removeSystemPaths":5,"installSystemUpdates":{}})"}) {
        const auto decoded = Op::decode(input);
        ASSERT_FALSE(decoded.has_value()) << shown(input);
        EXPECT_EQ(decoded.error().kind, DecodingErrorKind::typeMismatch) << shown(input);
        EXPECT_EQ(decoded.error().description, "Invalid number of keys found, expected one.");
        EXPECT_EQ(decoded.error().typeName, "PrivilegedOperation") << shown(input);
        EXPECT_TRUE(decoded.error().codingPath.empty()) << shown(input);
    }
}

TEST(PrivilegedOperationTests, EncodesExactBytesDecodesThemBackAndDescribesForTheAudit) {
    const struct {
        Op operation;
        std::string encoded, audit;
    } cases[] = {
        {Op::installSystemUpdates(), R"({"installSystemUpdates":{}})",
         "macOS-Systemupdates installieren"},
        {Op::removeSystemPaths({"/L/x", "/L/x", "/b"}),
         R"({"removeSystemPaths":{"_0":["\/L\/x","\/L\/x","\/b"]}})",
         "System-Pfade entfernen (3 Eintr\xC3\xA4ge)"},
        {Op::repairPermissions("/f\xC3\xBCr \"x\"\\\n"),
         "{\"repairPermissions\":{\"path\":\"\\/f\xC3\xBCr \\\"x\\\"\\\\\\n\"}}",
         "Rechte reparieren: /f\xC3\xBCr \"x\"\\\n"},
        {Op::repairPermissions(std::string("a\0b", 3)),
         R"({"repairPermissions":{"path":"a\u0000b"}})",
         std::string("Rechte reparieren: a\0b", 22)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(written(c.operation), c.encoded);
        EXPECT_EQ(c.operation.auditDescription(), c.audit) << c.encoded;
        const auto decoded = Op::decode(c.encoded);
        ASSERT_TRUE(decoded.has_value()) << c.encoded << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), c.operation) << c.encoded;
    }
}

// Only an operation built in code, e.g. from a file name, can hold bytes that are not
// UTF-8. Writing them in any other spelling would send the name of another file.
TEST(PrivilegedOperationTests, RefusesToEncodePathsThatAreNotUtf8NamingTheFirst) {
    const struct {
        Op operation;
        std::vector<std::string> path;
    } cases[] = {
        {Op::repairPermissions("/a\xFF"), {"repairPermissions", "path"}},
        {Op::repairPermissions("/\xED\xA0\x80"), {"repairPermissions", "path"}},  // surrogate
        {Op::removeSystemPaths({"/ok", "/b\xC3", "/c\xFF"}),
         {"removeSystemPaths", "_0", "Index 1"}},
        {Op::removeSystemPaths({"/\xC0\xAF"}), {"removeSystemPaths", "_0", "Index 0"}},  // overlong
    };
    for (const auto& c : cases) {
        const auto encoded = c.operation.encode();
        ASSERT_FALSE(encoded.has_value()) << shown(*encoded);
        EXPECT_EQ(encoded.error().codingPath, c.path);
    }
}

TEST(PrivilegedOperationTests, ComparesAlternativesAndPayloadsUpToCanonicalEquivalence) {
    const std::string composed = "/L/M\xC3\xBCller";     // ü as U+00FC
    const std::string decomposed = "/L/Mu\xCC\x88ller";  // u + U+0308
    const struct {
        Op lhs, rhs;
        bool equal;
    } cases[] = {
        {Op::removeSystemPaths({"/a", "/b"}), Op::removeSystemPaths({"/b", "/a"}), false},
        {Op::removeSystemPaths({composed}), Op::removeSystemPaths({decomposed}), true},
        {Op::repairPermissions(composed), Op::repairPermissions(decomposed), true},
        {Op::repairPermissions("/tmp"), Op::repairPermissions("/TMP"), false},
        {Op::repairPermissions("/L/u"), Op::repairPermissions("/L/\xC3\xBC"), false},
        {Op::removeSystemPaths({"/tmp"}), Op::repairPermissions("/tmp"), false},
        {Op::installSystemUpdates(), Op::installSystemUpdates(), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lhs == c.rhs, c.equal) << written(c.lhs) << " vs " << written(c.rhs);
        EXPECT_EQ(c.rhs == c.lhs, c.equal) << written(c.rhs) << " vs " << written(c.lhs);
    }
}

}  // namespace
}  // namespace tavelin
