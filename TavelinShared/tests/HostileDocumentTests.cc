// Documents a hostile peer might send: very deep nesting, huge strings, huge lists, huge
// objects. The decoders must answer each one without crashing, with the outcome the format
// gives; they read without recursion, so depth costs no stack.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

constexpr std::size_t million = 1000000;
constexpr std::size_t fiftyMegabytes = std::size_t{50} * 1024 * 1024;

std::string repeated(std::string_view piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

// `count` levels of `open` around `inner`, closed again by `close`.
std::string nested(std::string_view open, std::string_view inner, std::string_view close,
                   std::size_t count = million) {
    return repeated(open, count) + std::string(inner) + repeated(close, count);
}

std::string preview(const std::string& input) {
    return input.size() <= 80
               ? input
               : input.substr(0, 60) + "… (" + std::to_string(input.size()) + " bytes)";
}

TEST(HostileDocumentTests, DecodesOrRefusesDeeplyNestedRequestsAsTheFormatSays) {
    struct Case {
        std::string input;
        bool decodes;
        DecodingErrorKind kind;  // when it does not
    };
    using K = DecodingErrorKind;
    const Case cases[] = {
        {R"({"x":)" + nested("[", "", "]") + R"(,"installSystemUpdates":{}})", true, {}},
        {R"({"x":)" + nested(R"({"x":)", "0", "}") + R"(,"installSystemUpdates":{}})", true, {}},
        {R"({"installSystemUpdates":)" + nested(R"({"a":[)", "", "]}") + "}", true, {}},
        {R"({"removeSystemPaths":{"_0":)" + nested("[", "", "]") + "}}", false, K::typeMismatch},
        {R"({"repairPermissions":{"path":)" + nested(R"({"p":)", "1", "}") + "}}", false,
         K::typeMismatch},
        {nested("[", "", "]"), false, K::typeMismatch},
        {repeated("[", million), false, K::dataCorrupted},
        {repeated(R"({"a":)", million), false, K::dataCorrupted},
        {nested(R"({"a":)", "1", "}") + "}", false, K::dataCorrupted},
        {R"({"installSystemUpdates":{},"x":)" + nested(R"({"d":1,"d":)", "1", "}") + "}", false,
         K::dataCorrupted},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedOperation::decode(c.input);
        ASSERT_EQ(decoded.ok(), c.decodes) << preview(c.input);
        if (!c.decodes) {
            EXPECT_EQ(kindName(decoded.error().kind), kindName(c.kind)) << preview(c.input);
        }
    }
}

TEST(HostileDocumentTests, DecodesHugeStringsListsAndObjects) {
    const std::string hugePath = "/Library/Caches/" + std::string(fiftyMegabytes, 'a');
    {
        const auto decoded =
            PrivilegedOperation::decode(R"({"repairPermissions":{"path":")" + hugePath + "\"}}");
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(decoded.value(), PrivilegedOperation::repairPermissions(hugePath));
    }
    {
        const auto decoded = PrivilegedOperation::decode(R"({"comment":")" +
                                                         repeated("\\u00fc", million) +
                                                         R"(","installSystemUpdates":{}})");
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(decoded.value(), PrivilegedOperation::installSystemUpdates());
    }
    {
        const std::string list =
            "[" + repeated(R"("/Library/Caches/x",)", million - 1) + R"("/Library/Caches/last"])";
        const auto decoded =
            PrivilegedOperation::decode(R"({"removeSystemPaths":{"_0":)" + list + "}}");
        ASSERT_TRUE(decoded.ok());
        const auto& paths =
            std::get<PrivilegedOperation::RemoveSystemPaths>(decoded.value().payload()).paths;
        ASSERT_EQ(paths.size(), million);
        EXPECT_EQ(paths.back(), "/Library/Caches/last");
        EXPECT_EQ(decoded.value().auditDescription(),
                  "System-Pfade entfernen (1000000 Eintr\xC3\xA4ge)");
    }
    {
        std::string members;
        for (std::size_t i = 0; i < million / 5; ++i) {
            members += "\"m" + std::to_string(i) + "\":0,";
        }
        const auto decoded =
            PrivilegedOperation::decode("{" + members + R"("installSystemUpdates":{}})");
        ASSERT_TRUE(decoded.ok());
        const auto repeatedName = PrivilegedOperation::decode("{" + members + R"("m0":{}})");
        ASSERT_FALSE(repeatedName.ok());
        EXPECT_EQ(repeatedName.error().kind, DecodingErrorKind::dataCorrupted);
    }
}

TEST(HostileDocumentTests, DecodesResultsWithHugeOrDeepContent) {
    const std::string hugeMessage(fiftyMegabytes / 10, 'm');
    const auto decoded =
        PrivilegedResult::decode(R"({"success":true,"extra":)" + nested("[", "", "]") +
                                 R"(,"message":")" + hugeMessage + R"(","freedBytes":7})");
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value(), PrivilegedResult(true, hugeMessage, 7));

    const auto deepMessage = PrivilegedResult::decode(
        R"({"success":true,"message":)" + nested(R"({"m":)", "1", "}") + R"(,"freedBytes":7})");
    ASSERT_FALSE(deepMessage.ok());
    EXPECT_EQ(deepMessage.error().kind, DecodingErrorKind::typeMismatch);
}

}  // namespace
}  // namespace tavelin
