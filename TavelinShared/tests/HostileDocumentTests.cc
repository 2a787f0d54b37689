// Documents a hostile peer might send: a million levels of nesting, a 50 MB string, millions
// of paths. The decoder reads without recursion, so depth costs no stack.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin {
namespace {

constexpr std::size_t million = 1000000;

std::string repeated(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

std::string nested(std::string_view open, std::string_view inner, std::string_view close) {
    return repeated(open, million) + std::string(inner) + repeated(close, million);
}

TEST(HostileDocumentTests, AnswersMillionDeepNestingAsTheFormatSays) {
    using K = DecodingErrorKind;
    const struct {
        std::string input;
        bool decodes;
        K kind;
    } cases[] = {
        {R"({"x":)" + nested("[", "", "]") + R"(,"installSystemUpdates":{}})", true, {}},
        {R"({"repairPermissions":{"path":)" + nested(R"({"p":)", "1", "}") + "}}", false,
         K::typeMismatch},
        {repeated(R"({"a":)", million), false, K::dataCorrupted},
        // Repeated names and numbers beyond a double's range, where nothing is kept.
        {R"({"installSystemUpdates":{},"x":)" + nested(R"({"d":1e400,"d":)", "1", "}") + "}",
         true,
         {}},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedOperation::decode(c.input);
        ASSERT_EQ(decoded.has_value(), c.decodes) << c.input.substr(0, 60);
        if (!c.decodes) {
            EXPECT_EQ(kindName(decoded.error().kind), kindName(c.kind)) << c.input.substr(0, 60);
        }
    }
}

// Each number beyond a double's range stops nlohmann's parser; a million of them must still
// cost one more reading, not one per number.
TEST(HostileDocumentTests, AnswersAMillionNumbersBeyondADoublesRange) {
    const auto ignored = PrivilegedOperation::decode(R"({"x":[)" + repeated("1e400,", million) +
                                                     R"(0],"installSystemUpdates":{}})");
    ASSERT_TRUE(ignored.has_value()) << ignored.error().description;
    EXPECT_EQ(ignored.value(), PrivilegedOperation::installSystemUpdates());

    const auto kept = PrivilegedOperation::decode(
        std::string(R"({"removeSystemPaths":{"_0":[-2e308,"/a"]},"x":[)") +
        repeated("1e400,", million) + "0]}");
    ASSERT_FALSE(kept.has_value());
    EXPECT_EQ(kept.error().codingPath,
              (std::vector<std::string>{"removeSystemPaths", "_0", "Index 0"}));
}

TEST(HostileDocumentTests, DecodesAFiftyMegabyteString) {
    const std::string hugePath = "/Library/Caches/" + std::string(std::size_t{50} << 20, 'a');
    const auto huge =
        PrivilegedOperation::decode(R"({"repairPermissions":{"path":")" + hugePath + "\"}}");
    ASSERT_TRUE(huge.has_value());
    EXPECT_EQ(huge.value(), PrivilegedOperation::repairPermissions(hugePath));
}

// A removal of millions of paths used to cost the daemon most of a gigabyte; the list now
// ends at the first path too many, whatever follows it.
TEST(HostileDocumentTests, RefusesRemovalsOfMoreThanTheMostPathsAtTheFirstPathTooMany) {
    constexpr std::size_t most = PrivilegedOperation::maxRemovalPaths;
    const auto list = [](std::size_t count) {
        return R"({"_0":[)" + repeated(R"("/x",)", count - 1) + R"("/last"])";
    };
    const std::vector<std::string> tooMany = {"removeSystemPaths", "_0"};
    const struct {
        std::string input;
        bool decodes;  // to `most` paths
        std::vector<std::string> errorPath;
    } cases[] = {
        {R"({"removeSystemPaths":)" + list(most) + "}}", true, {}},
        {R"({"removeSystemPaths":)" + list(most + 1) + "}}", false, tooMany},
        {R"({"removeSystemPaths":)" + list(million) + "}}", false, tooMany},
        {R"({"removeSystemPaths":{"_0":[)" + repeated("\"\",", 5 * million) + "\"\"]}}", false,
         tooMany},
        // Elements of any type count, and the limit ends the reading: what comes later, also
        // a syntax fault, is not looked at.
        {R"({"removeSystemPaths":{"_0":[null,)" + repeated("1,", most) + "2]}}", false, tooMany},
        {R"({"removeSystemPaths":)" + list(most + 1) + "}],", false, tooMany},
        {R"({"removeSystemPaths":)" + list(most + 1) + R"(},"installSystemUpdates":{}})", false,
         tooMany},
        // Only a fault earlier in the text comes first.
        {R"({"x":1,"x":2,"removeSystemPaths":)" + list(most + 1) + "}}", false, {}},
        // Other lists of that name are not the removal's.
        {R"({"removeSystemPaths":)" + list(most) + R"(,"x":)" + list(most + 1) + "}}}", true, {}},
        {R"({"x":{"removeSystemPaths":)" + list(most + 1) + R"(}},"removeSystemPaths":)" +
             list(most) + "}}",
         true,
         {}},
    };
    for (const auto& c : cases) {
        const auto decoded = PrivilegedOperation::decode(c.input);
        ASSERT_EQ(decoded.has_value(), c.decodes) << c.input.substr(0, 60);
        if (c.decodes) {
            const auto& paths =
                std::get<PrivilegedOperation::RemoveSystemPaths>(decoded.value().payload()).paths;
            ASSERT_EQ(paths.size(), most);
            EXPECT_EQ(paths.back(), "/last");
        } else {
            EXPECT_EQ(decoded.error().kind, DecodingErrorKind::dataCorrupted)
                << c.input.substr(0, 60);
            EXPECT_EQ(decoded.error().codingPath, c.errorPath) << c.input.substr(0, 60);
        }
    }
}

}  // namespace
}  // namespace tavelin
