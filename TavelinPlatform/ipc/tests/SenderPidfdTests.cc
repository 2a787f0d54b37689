// A chunk smuggling descriptors comes without a sender and leaves no descriptor behind.
// (That each chunk names its own writer is tested with real processes in SenderRuleTests.)

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <variant>

#include "TavelinPlatform/ipc/SenderPidfd.h"

namespace tavelin {
namespace {

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

TEST(SenderPidfdTest, ChunkCarryingDescriptorsHasNoSenderAndKeepsNoDescriptor) {
    std::array<int, 2> pair{-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()), 0);
    const UniqueFd receiver(pair[0]);
    const UniqueFd writer(pair[1]);
    ASSERT_TRUE(enableSenderCredentials(receiver.get()).has_value());
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
    ASSERT_EQ(::sendmsg(writer.get(), &header, 0), 1);

    const std::size_t before = openDescriptorCount();
    char buffer[8];
    auto received = receiveWithSender(receiver.get(), buffer, sizeof(buffer));
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->size, 1U);
    EXPECT_EQ(received->senderPid, 0);
    EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
}  // namespace tavelin
