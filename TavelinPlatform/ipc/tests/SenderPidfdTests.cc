// What the sender check relies on, with real sockets and a real second process: each chunk
// names its writer, a writer's pidfd matches only its own process, and a chunk smuggling
// descriptors comes without a sender and leaves no descriptor behind.

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <variant>

#include "SenderPidfd.h"

namespace tavelin {
namespace {

struct Pair {
    UniqueFd receiver;
    UniqueFd writer;
};

Pair connectedPair() {
    std::array<int, 2> fds{-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
    Pair pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
    EXPECT_FALSE(enableSenderPidfds(pair.receiver.get()).has_value());
    return pair;
}

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    DIR* directory = ::opendir("/proc/self/fd");
    while (directory != nullptr && ::readdir(directory) != nullptr) {
        ++count;
    }
    if (directory != nullptr) {
        ::closedir(directory);
    }
    return count;
}

UniqueFd ownPidfd() {
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
}

ReceivedChunk receive(int fd, char* buffer, std::size_t capacity) {
    auto received = receiveWithSender(fd, buffer, capacity);
    EXPECT_TRUE(std::holds_alternative<ReceivedChunk>(received));
    if (!std::holds_alternative<ReceivedChunk>(received)) {
        return {};
    }
    return std::get<ReceivedChunk>(std::move(received));
}

TEST(SenderPidfdTest, EachChunkNamesItsOwnWriter) {
    ASSERT_FALSE(checkSenderPidfdSupport().has_value());
    Pair pair = connectedPair();
    const UniqueFd self = ownPidfd();
    ASSERT_TRUE(self);
    const auto identity = ProcessIdentity::of(self.get());
    ASSERT_TRUE(identity.has_value());

    ASSERT_EQ(::write(pair.writer.get(), "ours", 4), 4);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::write(pair.writer.get(), "theirs", 6) == 6 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(::write(pair.writer.get(), "ours again", 10), 10);

    // Though all three writes are queued before we read, no chunk mixes two writers.
    const struct {
        const char* bytes;
        bool ours;
    } expected[] = {{"ours", true}, {"theirs", false}, {"ours again", true}};
    char buffer[64];
    for (const auto& want : expected) {
        SCOPED_TRACE(want.bytes);
        const ReceivedChunk chunk = receive(pair.receiver.get(), buffer, sizeof(buffer));
        EXPECT_EQ(std::string(buffer, chunk.size), want.bytes);
        ASSERT_TRUE(chunk.senderPidfd);
        EXPECT_EQ(identity->matches(chunk.senderPidfd.get()), want.ours);
        EXPECT_EQ(isSameProcess(self.get(), chunk.senderPidfd.get()), want.ours);
    }
    EXPECT_FALSE(identity->matches(-1));
}

TEST(SenderPidfdTest, ChunkCarryingDescriptorsHasNoSenderAndKeepsNoDescriptor) {
    Pair pair = connectedPair();
    std::array<int, 2> pipeEnds{-1, -1};
    ASSERT_EQ(::pipe2(pipeEnds.data(), O_CLOEXEC), 0);
    const UniqueFd readEnd(pipeEnds[0]);
    const UniqueFd writeEnd(pipeEnds[1]);

    char data[] = "x";
    iovec vector{data, 1};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(2 * sizeof(int))> control{};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    cmsghdr* message = CMSG_FIRSTHDR(&header);
    message->cmsg_level = SOL_SOCKET;
    message->cmsg_type = SCM_RIGHTS;
    message->cmsg_len = CMSG_LEN(2 * sizeof(int));
    std::memcpy(CMSG_DATA(message), pipeEnds.data(), 2 * sizeof(int));
    ASSERT_EQ(::sendmsg(pair.writer.get(), &header, 0), 1);

    const std::size_t before = openDescriptorCount();
    char buffer[8];
    const ReceivedChunk chunk = receive(pair.receiver.get(), buffer, sizeof(buffer));
    EXPECT_EQ(chunk.size, 1U);
    EXPECT_FALSE(chunk.senderPidfd);
    EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
}  // namespace tavelin
