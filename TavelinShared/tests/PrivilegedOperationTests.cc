#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin {
namespace {

using Op = PrivilegedOperation;
using Path = std::vector<std::string>;

std::string shown(std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
}

TEST(PrivilegedOperationTests, DecodesRequestsOfTheWireFormatAndAcceptsWhatReadersMust) {
    struct Case {
        std::string input;
        Op expected;
    };
    const Case cases[] = {
        // The documents as written.
        {R"({"removeSystemPaths":{"_0":["/Library/Caches/Thumbnails","/private/var/log/install.log"]}})",
         Op::removeSystemPaths({"/Library/Caches/Thumbnails", "/private/var/log/install.log"})},
        {R"({"removeSystemPaths":{"_0":[]}})", Op::removeSystemPaths({})},
        {R"({"repairPermissions":{"path":"/Library/Logs/DiagnosticReports"}})",
         Op::repairPermissions("/Library/Logs/DiagnosticReports")},
        {R"({"installSystemUpdates":{}})", Op::installSystemUpdates()},
        // Escapes and whitespace carry no meaning.
        {R"({"removeSystemPaths":{"_0":["\/Library\/Caches\/Thumbnails","\/private\/var\/log\/install.log"]}})",
         Op::removeSystemPaths({"/Library/Caches/Thumbnails", "/private/var/log/install.log"})},
        {" \t\r\n{ \"installSystemUpdates\" :\n{ } }\n ", Op::installSystemUpdates()},
        {R"({"repairPermissions":{"path":"/Library/f\u00fcr \ud83d\ude00 \"q\" \\ \t"}})",
         Op::repairPermissions("/Library/f\xC3\xBCr \xF0\x9F\x98\x80 \"q\" \\ \t")},
        {R"({"repa\u0069rPermissions":{"p\u0061th":"/x"}})", Op::repairPermissions("/x")},
        {"\xEF\xBB\xBF{\"installSystemUpdates\":{}}", Op::installSystemUpdates()},  // UTF-8 BOM
        // Unknown members are ignored at the top level and in payloads, whatever they hold.
        {R"({"repairPermissions":{"path":"/tmp"},"comment":"x"})", Op::repairPermissions("/tmp")},
        {R"({"comment":{"removeSystemPaths":5},"repairPermissions":{"path":"/tmp"}})",
         Op::repairPermissions("/tmp")},
        {R"({"repairPermissions":{"path":"/tmp","mode":"0755"}})", Op::repairPermissions("/tmp")},
        {R"({"repairPermissions":{"_0":["/a"],"path":"/tmp"}})", Op::repairPermissions("/tmp")},
        {R"({"RepairPermissions":null,"installSystemUpdates":{}})", Op::installSystemUpdates()},
        {R"({"installSystemUpdates":{"force":true,"path":5}})", Op::installSystemUpdates()},
        {R"({"removeSystemPaths":{"paths":null,"_0":["/a"],"x":[[{}]]}})",
         Op::removeSystemPaths({"/a"})},
        {R"({"x":[1.5e300,-0,18446744073709551615],"installSystemUpdates":{}})",
         Op::installSystemUpdates()},
        // Payloads are taken verbatim: repeats, empty strings, NUL, any text.
        {R"({"removeSystemPaths":{"_0":["/a","/a"]}})", Op::removeSystemPaths({"/a", "/a"})},
        {R"({"repairPermissions":{"path":""}})", Op::repairPermissions("")},
        {R"({"repairPermissions":{"path":"/Library/Caches/\u0000x"}})",
         Op::repairPermissions(std::string("/Library/Caches/\0x", 18))},
        {R"({"repairPermissions":{"path":"../../etc"}})", Op::repairPermissions("../../etc")},
    };
    for (const auto& c : cases) {
        const auto decoded = Op::decode(c.input);
        ASSERT_TRUE(decoded.ok()) << shown(c.input) << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), c.expected) << shown(c.input);
    }
}

TEST(PrivilegedOperationTests, RefusesRequestsWithTheKindAndPathOfTheFirstFailure) {
    struct Case {
        std::string input;
        DecodingErrorKind kind;
        Path path;
    };
    using K = DecodingErrorKind;
    const Case cases[] = {
        // Not a JSON text, or not one that has a single reading.
        {"", K::dataCorrupted, {}},
        {"   ", K::dataCorrupted, {}},
        {"installSystemUpdates", K::dataCorrupted, {}},
        {R"({"installSystemUpdates":{}} {})", K::dataCorrupted, {}},
        {R"({"installSystemUpdates":{}}x)", K::dataCorrupted, {}},
        {R"({"installSystemUpdates":{},})", K::dataCorrupted, {}},
        {R"(/**/{"installSystemUpdates":{}})", K::dataCorrupted, {}},
        {"{\"installSystemUpdates\":{}} // done", K::dataCorrupted, {}},
        {R"({'installSystemUpdates':{}})", K::dataCorrupted, {}},
        {R"({"x":1e400,"installSystemUpdates":{}})", K::dataCorrupted, {}},  // beyond a double
        {R"({"repairPermissions":{"path":"/a
"}})",
         K::dataCorrupted,
         {}},  // raw line feed inside a string
        {"{\"repairPermissions\":{\"path\":\"/\xFF\"}}", K::dataCorrupted, {}},
        {"{\"repairPermissions\":{\"path\":\"/\xC0\xAF\"}}", K::dataCorrupted, {}},
        {"{\"repairPermissions\":{\"path\":\"/\xED\xA0\x80\"}}", K::dataCorrupted, {}},
        {R"({"repairPermissions":{"path":"/\ud800"}})", K::dataCorrupted, {}},
        {R"({"repairPermissions":{"path":"/\udc00x"}})", K::dataCorrupted, {}},
        {"{\"installSystemUpdates\":{}}\xFF", K::dataCorrupted, {}},
        {"{\"installSystemUpdates\":{},\"x\":\"\xC3\"}", K::dataCorrupted, {}},
        {R"({"repairPermissions":{"path":"/a"},"repairPermissions":{"path":"/b"}})",
         K::dataCorrupted,
         {}},
        {R"({"repairPermissions":{"path":"/a","path":"/b"}})", K::dataCorrupted, {}},
        {R"({"repairPermissions":{"path":"/a","p\u0061th":"/b"}})", K::dataCorrupted, {}},
        {R"({"installSystemUpdates":{"f":1,"f":1}})", K::dataCorrupted, {}},
        {R"({"c":1,"installSystemUpdates":{},"c":1})", K::dataCorrupted, {}},
        {R"({"installSystemUpdates":{},"x":[{"a":[{"b":1,"b":2}]}]})", K::dataCorrupted, {}},
        // Any syntax fault outranks what the content would give.
        {R"({"repairPermissions":{"path":5},"x":{"b":1,"b":2}})", K::dataCorrupted, {}},
        {R"({} x)", K::dataCorrupted, {}},
        // The top-level value.
        {"null", K::valueNotFound, {}},
        {R"(["installSystemUpdates"])", K::typeMismatch, {}},
        {R"("installSystemUpdates")", K::typeMismatch, {}},
        {"5", K::typeMismatch, {}},
        {"true", K::typeMismatch, {}},
        // The payload object.
        {R"({"installSystemUpdates":null})", K::valueNotFound, {"installSystemUpdates"}},
        {R"({"installSystemUpdates":true})", K::typeMismatch, {"installSystemUpdates"}},
        {R"({"installSystemUpdates":[]})", K::typeMismatch, {"installSystemUpdates"}},
        {R"({"repairPermissions":"/tmp"})", K::typeMismatch, {"repairPermissions"}},
        {R"({"repairPermissions":null})", K::valueNotFound, {"repairPermissions"}},
        {R"({"removeSystemPaths":["/tmp"]})", K::typeMismatch, {"removeSystemPaths"}},
        {R"({"removeSystemPaths":5})", K::typeMismatch, {"removeSystemPaths"}},
        // Its members.
        {R"({"removeSystemPaths":{"paths":["/tmp"]}})",
         K::keyNotFound,
         {"removeSystemPaths", "_0"}},
        {R"({"removeSystemPaths":{}})", K::keyNotFound, {"removeSystemPaths", "_0"}},
        {R"({"repairPermissions":{"_0":"/tmp"}})", K::keyNotFound, {"repairPermissions", "path"}},
        {R"({"repairPermissions":{"Path":"/tmp"}})", K::keyNotFound, {"repairPermissions", "path"}},
        {R"({"removeSystemPaths":{"_0":null}})", K::valueNotFound, {"removeSystemPaths", "_0"}},
        {R"({"repairPermissions":{"path":null}})", K::valueNotFound, {"repairPermissions", "path"}},
        {R"({"removeSystemPaths":{"_0":"/tmp"}})", K::typeMismatch, {"removeSystemPaths", "_0"}},
        {R"({"removeSystemPaths":{"_0":{"0":"/tmp"}}})",
         K::typeMismatch,
         {"removeSystemPaths", "_0"}},
        {R"({"repairPermissions":{"path":["/tmp"]}})",
         K::typeMismatch,
         {"repairPermissions", "path"}},
        {R"({"repairPermissions":{"path":5}})", K::typeMismatch, {"repairPermissions", "path"}},
        // Elements: the first bad one decides; no partial list.
        {R"({"removeSystemPaths":{"_0":["/tmp",null]}})",
         K::valueNotFound,
         {"removeSystemPaths", "_0", "Index 1"}},
        {R"({"removeSystemPaths":{"_0":["/tmp",5]}})",
         K::typeMismatch,
         {"removeSystemPaths", "_0", "Index 1"}},
        {R"({"removeSystemPaths":{"_0":[["/tmp"],null]}})",
         K::typeMismatch,
         {"removeSystemPaths", "_0", "Index 0"}},
        {R"({"removeSystemPaths":{"_0":["/a","/b",{},5]}})",
         K::typeMismatch,
         {"removeSystemPaths", "_0", "Index 2"}},
    };
    for (const auto& c : cases) {
        const auto decoded = Op::decode(c.input);
        ASSERT_FALSE(decoded.ok()) << shown(c.input) << " decoded to " << decoded.value().encode();
        EXPECT_EQ(kindName(decoded.error().kind), kindName(c.kind)) << shown(c.input);
        EXPECT_EQ(decoded.error().codingPath, c.path) << shown(c.input);
        EXPECT_FALSE(decoded.error().description.empty()) << shown(c.input);
    }
}

TEST(PrivilegedOperationTests, CountsRecognisedAlternativeNamesBeforeReadingAnyPayload) {
    const std::string inputs[] = {
        "{}",
        R"({"comment":"x"})",
        R"({"RepairPermissions":{"path":"/tmp"}})",
        R"({"removeSystemPaths ":{"_0":[]}})",
        R"({"removeSystemPaths":{"_0":[]},"repairPermissions":{"path":"/tmp"}})",
        R"({"removeSystemPaths":5,"installSystemUpdates":{}})",
        R"({"removeSystemPaths":null,"installSystemUpdates":null,"repairPermissions":[]})",
    };
    for (const auto& input : inputs) {
        const auto decoded = Op::decode(input);
        ASSERT_FALSE(decoded.ok()) << shown(input);
        EXPECT_EQ(decoded.error().kind, DecodingErrorKind::typeMismatch) << shown(input);
        EXPECT_TRUE(decoded.error().codingPath.empty()) << shown(input);
        EXPECT_EQ(decoded.error().description, "Invalid number of keys found, expected one.")
            << shown(input);
    }
}

TEST(PrivilegedOperationTests, DescribesEachOperationForTheAuditLog) {
    struct Case {
        Op operation;
        std::string expected;
    };
    const Case cases[] = {
        {Op::removeSystemPaths({}), "System-Pfade entfernen (0 Eintr\xC3\xA4ge)"},
        {Op::removeSystemPaths({"/a"}), "System-Pfade entfernen (1 Eintr\xC3\xA4ge)"},
        {Op::removeSystemPaths({"/a", "/a", "/b"}), "System-Pfade entfernen (3 Eintr\xC3\xA4ge)"},
        {Op::removeSystemPaths(std::vector<std::string>(1234, "/x")),
         "System-Pfade entfernen (1234 Eintr\xC3\xA4ge)"},
        {Op::repairPermissions("/Library/Logs/A B"), "Rechte reparieren: /Library/Logs/A B"},
        {Op::repairPermissions(""), "Rechte reparieren: "},
        {Op::repairPermissions("/%s \"q\""), "Rechte reparieren: /%s \"q\""},
        {Op::installSystemUpdates(), "macOS-Systemupdates installieren"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.operation.auditDescription(), c.expected) << c.operation.encode();
    }
    const auto decoded = Op::decode(R"({"removeSystemPaths":{"_0":[]}})");
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().auditDescription(), "System-Pfade entfernen (0 Eintr\xC3\xA4ge)");
}

TEST(PrivilegedOperationTests, EncodesTheCompactWireDocument) {
    struct Case {
        Op operation;
        std::string expected;
    };
    const Case cases[] = {
        {Op::installSystemUpdates(), R"({"installSystemUpdates":{}})"},
        {Op::removeSystemPaths({}), R"({"removeSystemPaths":{"_0":[]}})"},
        {Op::removeSystemPaths({"/Library/Caches/x", "/b"}),
         R"({"removeSystemPaths":{"_0":["\/Library\/Caches\/x","\/b"]}})"},
        {Op::repairPermissions("/Library/f\xC3\xBCr \"x\"\\\n"),
         "{\"repairPermissions\":{\"path\":\"\\/Library\\/f\xC3\xBCr \\\"x\\\"\\\\\\n\"}}"},
        {Op::repairPermissions(std::string("a\0b", 3)),
         R"({"repairPermissions":{"path":"a\u0000b"}})"},
        // Only an operation built in code can hold bytes that are not UTF-8.
        {Op::repairPermissions("/a\xFF"),
         "{\"repairPermissions\":{\"path\":\"\\/a\xEF\xBF\xBD\"}}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.operation.encode(), c.expected);
    }
}

TEST(PrivilegedOperationTests, DecodesWhatItEncodesToAnEqualOperation) {
    const Op operations[] = {
        Op::installSystemUpdates(),
        Op::removeSystemPaths({}),
        Op::removeSystemPaths({"/Library/Caches/x", "/Library/Caches/x", "", "/b/"}),
        Op::removeSystemPaths({"\x01\x1F\x7F", "\"\\/", "\xE2\x80\xA8", "\xF0\x9F\x98\x80"}),
        Op::repairPermissions("/Library/\xC3\xBC \xE2\x80\x93 \xE2\x80\x9E\xE2\x80\x9C"),
        Op::repairPermissions(std::string("/nul\0after", 10)),
        Op::repairPermissions("\b\f\n\r\t"),
        Op::repairPermissions(""),
    };
    for (const auto& operation : operations) {
        const std::string encoded = operation.encode();
        const auto decoded = Op::decode(encoded);
        ASSERT_TRUE(decoded.ok()) << encoded << ": " << decoded.error().description;
        EXPECT_EQ(decoded.value(), operation) << encoded;
        EXPECT_EQ(decoded.value().encode(), encoded);
    }
}

TEST(PrivilegedOperationTests, ComparesAlternativesAndPayloadsUpToCanonicalEquivalence) {
    struct Case {
        Op lhs;
        Op rhs;
        bool equal;
    };
    const std::string composed = "/Library/Caches/M\xC3\xBCller";     // ü as U+00FC
    const std::string decomposed = "/Library/Caches/Mu\xCC\x88ller";  // u + U+0308
    const Case cases[] = {
        {Op::removeSystemPaths({"/a", "/b"}), Op::removeSystemPaths({"/b", "/a"}), false},
        {Op::removeSystemPaths({"/a", "/b"}), Op::removeSystemPaths({"/a", "/b"}), true},
        {Op::removeSystemPaths({"/a"}), Op::removeSystemPaths({"/a", "/a"}), false},
        {Op::removeSystemPaths({}), Op::removeSystemPaths({}), true},
        {Op::removeSystemPaths({composed}), Op::removeSystemPaths({decomposed}), true},
        {Op::removeSystemPaths({"/tmp"}), Op::repairPermissions("/tmp"), false},
        {Op::repairPermissions("/tmp"), Op::repairPermissions("/tmp"), true},
        {Op::repairPermissions("/tmp"), Op::repairPermissions("/TMP"), false},
        {Op::repairPermissions(composed), Op::repairPermissions(decomposed), true},
        {Op::repairPermissions("/Library/u"), Op::repairPermissions("/Library/\xC3\xBC"), false},
        {Op::installSystemUpdates(), Op::installSystemUpdates(), true},
        {Op::installSystemUpdates(), Op::removeSystemPaths({}), false},
        {Op::installSystemUpdates(), Op::repairPermissions(""), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lhs == c.rhs, c.equal) << c.lhs.encode() << " vs " << c.rhs.encode();
        EXPECT_EQ(c.rhs == c.lhs, c.equal) << c.rhs.encode() << " vs " << c.lhs.encode();
    }
}

}  // namespace
}  // namespace tavelin
