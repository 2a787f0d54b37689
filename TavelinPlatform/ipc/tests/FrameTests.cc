// The frame codec: exact bytes, round trips, and every way a body or stream can be broken.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "TavelinPlatform/ipc/Frame.h"

namespace tavelin {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int value : values) {
        out.push_back(static_cast<char>(value));
    }
    return out;
}

std::string header(std::uint32_t length) {
    return bytes({static_cast<int>(length >> 24), static_cast<int>((length >> 16) & 0xFF),
                  static_cast<int>((length >> 8) & 0xFF), static_cast<int>(length & 0xFF)});
}

TEST(FrameTest, EncodesTheDocumentedBytes) {
    EXPECT_EQ(encodeHello(), bytes({0, 0, 0, 2, 1, 1}));

    const std::string expectedCall = header(1 + 8 + 2 + 23 + 0) +
                                     bytes({2, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0, 23}) +
                                     "helperVersionWithReply:";
    EXPECT_EQ(encodeCall(CallFrame{0x0102, CallSelector::helperVersion, ""}), expectedCall);

    const std::string expectedPerform =
        header(1 + 8 + 2 + 31 + 2) +
        bytes({2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 31}) +
        "performWithOperationJSON:reply:" + "{}";
    EXPECT_EQ(encodeCall(CallFrame{UINT64_MAX, CallSelector::perform, "{}"}), expectedPerform);

    EXPECT_EQ(encodeReply(ReplyFrame{7, ""}), header(9) + bytes({3, 0, 0, 0, 0, 0, 0, 0, 7}));
}

TEST(FrameTest, ValidFramesRoundTrip) {
    const CallFrame calls[] = {
        {0, CallSelector::helperVersion, ""},
        {UINT64_MAX, CallSelector::perform, ""},
        {42, CallSelector::perform, std::string("a\0b\xff", 4)},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.callId);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const auto frame = encodeCall(call);
            ASSERT_TRUE(frame.has_value());
            FrameReader reader;
            reader.append(*frame);
            const auto body = reader.next();
            ASSERT_TRUE(body.has_value());
            EXPECT_TRUE(reader.atFrameBoundary());
            EXPECT_EQ(decodeCall(*body), call);
        }();
    }
    const ReplyFrame reply{99, std::string("r\0", 2)};
    FrameReader reader;
    reader.append(*encodeReply(reply));
    EXPECT_EQ(decodeReply(*reader.next()), reply);
}

TEST(FrameTest, MalformedBodiesAreRefused) {
    const std::string id(8, '\0');
    const struct {
        const char* what;
        std::string body;
        FrameError expected;
    } cases[] = {
        {"empty body", "", FrameError::truncated},
        {"type 0", bytes({0}), FrameError::unknownType},
        {"hello sent as call", bytes({1, 1}), FrameError::unexpectedType},
        {"call without id", bytes({2, 0, 0}), FrameError::truncated},
        {"selector overrun",
         bytes({2}) + id + bytes({0, 24}) + "helperVersionWithReply:", FrameError::selectorOverrun},
        {"selector without colon", bytes({2}) + id + bytes({0, 22}) + "helperVersionWithReply",
         FrameError::unknownSelector},
        {"selector in other case",
         bytes({2}) + id + bytes({0, 23}) + "HelperVersionWithReply:", FrameError::unknownSelector},
        {"version call with argument",
         bytes({2}) + id + bytes({0, 23}) + "helperVersionWithReply:" + "x",
         FrameError::unexpectedArgument},
        {"perform argument one byte too long",
         bytes({2}) + id + bytes({0, 31}) +
             "performWithOperationJSON:reply:" + std::string(maxPerformArgumentBytes + 1, 'a'),
         FrameError::oversize},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        [&] {
            const auto decoded = decodeCall(testCase.body);
            ASSERT_FALSE(decoded.has_value());
            EXPECT_EQ(frameErrorName(decoded.error()), frameErrorName(testCase.expected));
            // Each part of it that may arrive first is refused for the same reason, or not yet.
            const std::string_view body = testCase.body;
            for (std::size_t length = 0; length < body.size(); ++length) {
                const auto judged = judgeCallPrefix(body.substr(0, length),
                                                    static_cast<std::uint32_t>(body.size()));
                if (!judged) {
                    EXPECT_EQ(frameErrorName(judged.error()), frameErrorName(testCase.expected))
                        << length;
                }
            }
        }();
    }
    EXPECT_EQ(decodeHello(bytes({1})), Unexpected(FrameError::truncated));
    EXPECT_EQ(decodeHello(bytes({1, 7})), std::uint8_t{7});
    EXPECT_EQ(decodeReply(bytes({3, 0, 0})), Unexpected(FrameError::truncated));
    EXPECT_EQ(decodeReply(bytes({2}) + id), Unexpected(FrameError::unexpectedType));
}

TEST(FrameTest, ReaderJudgesEachLengthBeforeKeepingItsBody) {
    const struct {
        const char* what;
        std::string stream;
        std::optional<FrameError> expected;  // nothing: the reader just waits for more
    } cases[] = {
        {"zero length", header(0), FrameError::zeroLength},
        {"one over the limit", header(maxFrameBody + 1), FrameError::oversize},
        {"exactly the limit, body pending", header(maxFrameBody), std::nullopt},
        {"partial header", bytes({0, 0, 0}), std::nullopt},
        {"oversize after a good frame", encodeHello() + header(maxFrameBody + 1),
         FrameError::oversize},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        FrameReader reader;
        reader.append(testCase.stream);
        while (reader.next()) {
        }
        EXPECT_EQ(reader.failed(), testCase.expected.has_value());
        if (testCase.expected) {
            EXPECT_EQ(frameErrorName(reader.error()), frameErrorName(*testCase.expected));
            // A failed reader stays failed and keeps nothing of what follows.
            reader.append(encodeHello());
            EXPECT_FALSE(reader.next().has_value());
            EXPECT_TRUE(reader.failed());
        } else {
            EXPECT_FALSE(reader.atFrameBoundary());
        }
    }
}

TEST(FrameTest, ReaderReassemblesFramesAcrossAnySplit) {
    const std::string stream = encodeHello() + *encodeReply(ReplyFrame{1, "first"}) +
                               *encodeCall(CallFrame{2, CallSelector::perform, "{\"a\":1}"}) +
                               encodeHello();
    for (std::size_t chunkSize = 1; chunkSize <= stream.size(); ++chunkSize) {
        SCOPED_TRACE(chunkSize);
        [&] {
            FrameReader reader(64);
            std::vector<std::string> bodies;
            for (std::size_t offset = 0; offset < stream.size(); offset += chunkSize) {
                reader.append(stream.substr(offset, chunkSize));
                while (auto body = reader.next()) {
                    bodies.push_back(std::move(*body));
                }
            }
            ASSERT_EQ(bodies.size(), 4U);
            EXPECT_FALSE(reader.failed());
            EXPECT_TRUE(reader.atFrameBoundary());
            EXPECT_EQ(bodies[1], bytes({3, 0, 0, 0, 0, 0, 0, 0, 1}) + "first");
            EXPECT_EQ(decodeCall(bodies[2])->argument, "{\"a\":1}");
        }();
    }
}

TEST(FrameTest, EncodersRefuseBodiesAboveTheLimit) {
    const std::string longest(maxPerformArgumentBytes, 'a');
    const auto call = encodeCall(CallFrame{1, CallSelector::perform, longest});
    ASSERT_TRUE(call);
    EXPECT_EQ(call->size(), frameHeaderSize + maxCallBody);
    EXPECT_FALSE(encodeCall(CallFrame{1, CallSelector::perform, longest + "a"}));
    EXPECT_FALSE(encodeCall(CallFrame{1, CallSelector::helperVersion, "x"}));
    EXPECT_TRUE(encodeReply(ReplyFrame{1, std::string(maxFrameBody - 9, 'a')}));
    EXPECT_FALSE(encodeReply(ReplyFrame{1, std::string(maxFrameBody - 8, 'a')}));
}

TEST(FrameTest, PartlyReceivedCallsAreJudgedAsSoonAsTheirSelectorIsIn) {
    const std::string version =
        encodeCall(CallFrame{1, CallSelector::helperVersion, ""})->substr(4);
    const std::string perform = encodeCall(CallFrame{1, CallSelector::perform, "{}"})->substr(4);
    const auto performLength = [&](std::size_t argument) {
        return static_cast<std::uint32_t>(perform.size() - 2 + argument);
    };
    const struct {
        const char* what;
        std::string prefix;
        std::uint32_t declaredLength;
        std::optional<FrameError> error;
    } cases[] = {
        {"nothing yet", "", 5000, std::nullopt},
        {"selector not complete", perform.substr(0, 20), performLength(5000), std::nullopt},
        {"perform, longest argument", perform.substr(0, 42), performLength(maxPerformArgumentBytes),
         std::nullopt},
        {"perform, one byte longer", perform.substr(0, 42),
         performLength(maxPerformArgumentBytes + 1), FrameError::oversize},
        {"version with an argument", version, static_cast<std::uint32_t>(version.size() + 1),
         FrameError::unexpectedArgument},
        {"unknown selector", version.substr(0, 9) + std::string("\0\x04", 2) + "nope", 5000,
         FrameError::unknownSelector},
        {"a reply", std::string("\x03", 1), 5000, FrameError::unexpectedType},
        {"an unknown type", std::string("\x09", 1), 5000, FrameError::unknownType},
    };
    for (const auto& c : cases) {
        const Status<FrameError> judged = judgeCallPrefix(c.prefix, c.declaredLength);
        EXPECT_EQ(judged.has_value() ? std::nullopt : std::optional(judged.error()), c.error)
            << c.what;
    }
}

}  // namespace
}  // namespace tavelin
