// The channel's message layouts, refusals and transport, with real socket pairs and
// memory files.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/channel/PathListBlob.h"
#include "TavelinPlatform/channel/SealedBlob.h"

namespace tavelin::channel {
namespace {

int openDescriptorCount() {
    int count = 0;
    DIR* directory = ::opendir("/proc/self/fd");
    while (directory != nullptr && ::readdir(directory) != nullptr) {
        ++count;
    }
    if (directory != nullptr) {
        ::closedir(directory);
    }
    return count;
}

std::string withByte(std::string bytes, std::size_t offset, char value) {
    bytes[offset] = value;
    return bytes;
}

TEST(ChannelMessagesTest, RoundTripsAndRefusesEveryMalformedDatagram) {
    const Attachment inBlob{static_cast<std::uint32_t>(maxInlineAttachment + 1), {}};
    const std::string removal = encodeRequest(7, RemoveSystemPaths{42, 3, inBlob});
    const auto decoded = decodeRequest(removal, true);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->requestId, 7U);
    EXPECT_EQ(std::get<RemoveSystemPaths>(decoded->message).peerHandle, 42U);
    EXPECT_EQ(std::get<RemoveSystemPaths>(decoded->message).pathCount, 3U);
    EXPECT_EQ(std::get<RemoveSystemPaths>(decoded->message).pathList, inBlob);
    const std::string repair = encodeRequest(8, RepairPermissions{42, Attachment{2, "/x"}});

    const struct {
        const char* what;
        std::string bytes;
        bool hasDescriptor;
        ChannelError error;
    } cases[] = {
        {"empty", "", false, ChannelError::truncated},
        {"short body", removal.substr(0, removal.size() - 1), true, ChannelError::truncated},
        {"long body", removal + "x", true, ChannelError::overlong},
        {"unknown type", withByte(removal, 0, 9), true, ChannelError::unknownType},
        {"a reply sent to the monitor", encodeReply(1, PeerOpened{}), false,
         ChannelError::unknownType},
        {"an accept that carries a socket", encodeRequest(1, AcceptPeer{}), true,
         ChannelError::descriptorWrong},
        {"reserved field", withByte(removal, 5, 1), true, ChannelError::reservedNotZero},
        {"removal without its blob", removal, false, ChannelError::descriptorWrong},
        {"inline path with a descriptor", repair, true, ChannelError::descriptorWrong},
        {"inline path cut short", repair.substr(0, repair.size() - 1), false,
         ChannelError::truncated},
        {"inline path longer than said", repair + "y", false, ChannelError::overlong},
        {"update with a descriptor", encodeRequest(1, InstallUpdates{1}), true,
         ChannelError::descriptorWrong},
        {"too many paths", encodeRequest(1, RemoveSystemPaths{1, maxPathCount + 1, inBlob}), true,
         ChannelError::pathCount},
        {"refusal line over its limit",
         encodeRequest(1, RefusalLine{1, 0, {}, std::string(maxRefusalLineBytes + 1, 'r')}), false,
         ChannelError::lineLength},
        {"refusal line cut short", encodeRequest(1, RefusalLine{1, 0, {}, "abc"}).substr(0, 30),
         false, ChannelError::truncated},
        {"refusal line with a descriptor", encodeRequest(1, RefusalLine{1, 0, {}, "abc"}), true,
         ChannelError::descriptorWrong},
        {"refusal reason past the last",
         withByte(encodeRequest(1, RefusalLine{1, 0, {}, "abc"}), 24,
                  static_cast<char>(static_cast<int>(lastRefusalReason) + 1)),
         false, ChannelError::refusalReason},
    };
    for (const auto& c : cases) {
        const auto result = decodeRequest(c.bytes, c.hasDescriptor);
        ASSERT_FALSE(result.has_value()) << c.what;
        EXPECT_EQ(channelErrorName(result.error()), channelErrorName(c.error)) << c.what;
    }

    // A removal of exactly the most paths passes, in its header and in its list.
    EXPECT_TRUE(decodeRequest(encodeRequest(1, RemoveSystemPaths{1, maxPathCount, inBlob}), true));
    const std::vector<std::string> most(maxPathCount, "/p");
    const auto mostDecoded = decodePathList(encodePathList(most), maxPathCount);
    EXPECT_EQ(mostDecoded ? mostDecoded->size() : 0U, maxPathCount);

    // Attachments ride inline up to their limit and in a blob beyond it, in both directions.
    for (const std::size_t length :
         {std::size_t{0}, maxInlineAttachment, maxInlineAttachment + 1}) {
        const Attachment message{static_cast<std::uint32_t>(length),
                                 std::string(length <= maxInlineAttachment ? length : 0, 'm')};
        const auto reply =
            decodeReply(encodeReply(3, OperationDone{true, false, -5, message}), message.inBlob());
        ASSERT_TRUE(reply.has_value()) << length;
        EXPECT_EQ(std::get<OperationDone>(reply->message).freedBytes, -5);
        EXPECT_EQ(std::get<OperationDone>(reply->message).message, message);
        const auto request =
            decodeRequest(encodeRequest(4, RepairPermissions{1, message}), message.inBlob());
        ASSERT_TRUE(request.has_value()) << length;
        EXPECT_EQ(std::get<RepairPermissions>(request->message).path, message);
    }
    EXPECT_FALSE(decodeReply(encodeReply(3, OperationDone{true, false, 0, {4, "abc"}}), false));

    // A refusal line at its limit arrives whole, with its peer.
    const std::string longest(maxRefusalLineBytes, 'r');
    const auto refusal =
        decodeRequest(encodeRequest(9, RefusalLine{-2, 1001, lastRefusalReason, longest}), false);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(std::get<RefusalLine>(refusal->message).pid, -2);
    EXPECT_EQ(std::get<RefusalLine>(refusal->message).uid, 1001U);
    EXPECT_EQ(std::get<RefusalLine>(refusal->message).reason, lastRefusalReason);
    EXPECT_EQ(std::get<RefusalLine>(refusal->message).text, longest);

    // The verdicts that refuse a peer survive the trip: lost, they would let it through.
    PeerOpened look;
    look.codeFinding = 3;
    const auto opened = decodeReply(encodeReply(5, look), true);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(std::get<PeerOpened>(opened->message).codeFinding, 3U);
    OperationDone changed;
    changed.peerChanged = true;
    const auto done = decodeReply(encodeReply(6, changed), false);
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(std::get<OperationDone>(done->message).peerChanged);
    EXPECT_FALSE(std::get<OperationDone>(done->message).noResult);
}

TEST(ChannelMessagesTest, PathListsMustFillTheirBlobExactly) {
    const std::vector<std::string> paths = {"/Library/Caches/a", "", std::string(70000, 'p')};
    const std::string blob = encodePathList(paths);
    EXPECT_EQ(decodePathList(blob, 3), paths);
    for (const auto& [bytes, count] : std::vector<std::pair<std::string, std::uint32_t>>{
             {blob, 2},
             {blob, 4},
             {blob + "x", 3},
             {blob.substr(0, 10), 1},
             {std::string("\xff\xff\xff\xff", 4), 1}}) {
        EXPECT_FALSE(decodePathList(bytes, count).has_value()) << count;
    }
}

// Written and read a piece at a time, a list comes out as encodePathList and
// decodePathList make and read it whole: fields split across pieces, a path longer than
// a piece, and what was added before a clear() forgotten.
TEST(ChannelMessagesTest, PathListsWrittenAndReadInPiecesAreTheWholeList) {
    constexpr int manyPaths = 3000;
    std::vector<std::string> acrossPieces;
    acrossPieces.reserve(manyPaths);
    for (int index = 0; index < manyPaths; ++index) {
        acrossPieces.push_back("/Library/Caches/" + std::string(index % 97, 'p') +
                               std::to_string(index));
    }
    const struct {
        const char* what;
        std::vector<std::string> paths;
    } cases[] = {
        {"inline", {"/Library/Caches/a", "", "/b"}},
        {"across pieces", acrossPieces},
        {"longer than a piece",
         {"/a", std::string(PathListWriter::pieceBytes + 3, 'q'), "/b", std::string(5000, 'r')}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        [&] {
            PathListWriter writer;
            for (const std::string& stale : acrossPieces) {
                ASSERT_TRUE(writer.add(stale).has_value());
            }
            writer.clear();
            for (const std::string& path : testCase.paths) {
                ASSERT_TRUE(writer.add(path).has_value());
            }
            const auto count = writer.count();
            ASSERT_EQ(count, testCase.paths.size());
            auto attached = std::move(writer).finish();
            ASSERT_TRUE(attached.has_value());
            const std::string whole = encodePathList(testCase.paths);
            EXPECT_EQ(attached->attachment.length, whole.size());
            EXPECT_EQ(attached->blob.valid(), attached->attachment.inBlob());
            EXPECT_EQ(attachedBytes(attached->attachment, attached->blob.get(), whole.size()),
                      whole);
            EXPECT_EQ(receivePathList(attached->attachment, attached->blob.get(), count),
                      testCase.paths);
            // One path more than the list holds finds its bytes missing.
            EXPECT_FALSE(receivePathList(attached->attachment, attached->blob.get(), count + 1));
        }();
    }
}

TEST(ChannelSocketTest, CarriesOneDescriptorAndClosesAnyExtraOnes) {
    auto pair = makeChannelPair();
    ASSERT_TRUE(pair.has_value());
    auto blob = makeSealedBlob("contents");
    ASSERT_TRUE(blob.has_value());
    ASSERT_TRUE(sendDatagram(pair->frontEnd.get(), "hello", blob->get()).has_value());
    auto received = receiveDatagram(pair->monitorEnd.get());
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->bytes, "hello");
    EXPECT_EQ(readSealedBlob(received->descriptor.get(), 100), "contents");
    received->descriptor.reset();

    // Two descriptors at once: refused, and neither stays open here.
    const int before = openDescriptorCount();
    int extra[2] = {::dup(0), ::dup(0)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof extra)] = {};
    char byte = 'x';
    iovec vector{&byte, 1};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* message = CMSG_FIRSTHDR(&header);
    message->cmsg_level = SOL_SOCKET;
    message->cmsg_type = SCM_RIGHTS;
    message->cmsg_len = CMSG_LEN(sizeof extra);
    std::memcpy(CMSG_DATA(message), extra, sizeof extra);
    ASSERT_EQ(::sendmsg(pair->frontEnd.get(), &header, 0), 1);
    ::close(extra[0]);
    ::close(extra[1]);
    const auto refused = receiveDatagram(pair->monitorEnd.get());
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().errorNumber, EBADMSG);
    EXPECT_EQ(openDescriptorCount(), before);

    pair->frontEnd.reset();
    const auto closed = receiveDatagram(pair->monitorEnd.get());
    ASSERT_FALSE(closed.has_value());
    EXPECT_EQ(closed.error().errorNumber, ECONNRESET);
}

TEST(SealedBlobTest, TakesOnlySealedMemoryFilesWithinTheirLimit) {
    auto sealed = makeSealedBlob(std::string(100, 'b'));
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(::write(sealed->get(), "x", 1), -1);  // the sender cannot change it either
    EXPECT_EQ(readSealedBlob(sealed->get(), 100)->size(), 100U);
    EXPECT_EQ(readSealedBlob(sealed->get(), 99).error().errorNumber, EFBIG);

    const UniqueFd unsealed(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    ASSERT_EQ(::write(unsealed.get(), "abc", 3), 3);
    EXPECT_EQ(readSealedBlob(unsealed.get(), 100).error().errorNumber, EPERM);
    const UniqueFd file(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(readSealedBlob(file.get(), 1 << 30).error().errorNumber, EPERM);
}

TEST(SealedBlobTest, AttachmentsTakeABlobOnlyBeyondTheInlineLimitAndMustMatchItsLength) {
    for (const std::size_t length : {maxInlineAttachment, maxInlineAttachment + 1}) {
        const std::string bytes(length, 'a');
        auto attached = attach(bytes);
        ASSERT_TRUE(attached.has_value()) << length;
        EXPECT_EQ(attached->blob.valid(), length > maxInlineAttachment);
        EXPECT_EQ(attachedBytes(attached->attachment, attached->blob.get(), length), bytes);
    }
    // A blob of another length than its attachment says is refused, even a sealed one.
    auto other = makeSealedBlob(std::string(maxInlineAttachment + 2, 'b'));
    ASSERT_TRUE(other.has_value());
    const Attachment claimed{static_cast<std::uint32_t>(maxInlineAttachment + 1), {}};
    EXPECT_EQ(attachedBytes(claimed, other->get(), 1 << 20).error().errorNumber, EPROTO);
}

}  // namespace
}  // namespace tavelin::channel
