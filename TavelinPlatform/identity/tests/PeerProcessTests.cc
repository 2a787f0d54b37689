#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "IdentityTestSupport.h"
#include "PeerProcess.h"

namespace tavelin {
namespace {

TEST(PeerProcessTest, OpensTheExecutableOnlyOfTheProcessThatConnected) {
    testing::ScratchDirectory scratch;
    const auto program = scratch.path() / "peer";
    testing::copyTestPeer(program);
    testing::ConnectedPeer gone(program);
    testing::ConnectedPeer alive(program);
    ASSERT_TRUE(gone.peer() != nullptr && alive.peer() != nullptr);
    EXPECT_EQ(alive.peer()->pid, alive.pid());
    EXPECT_EQ(alive.peer()->uid, ::getuid());
    const auto executable = openPeerExecutable(*alive.peer());
    ASSERT_TRUE(executable.has_value());
    struct stat opened {};
    struct stat onDisk {};
    ASSERT_EQ(::fstat(executable->get(), &opened), 0);
    ASSERT_EQ(::stat(program.c_str(), &onDisk), 0);
    EXPECT_TRUE(opened.st_dev == onDisk.st_dev && opened.st_ino == onDisk.st_ino);

    gone.stop();
    EXPECT_FALSE(openPeerExecutable(*gone.peer()).has_value());
    // The pidfd of the exited process with the pid of a live one: exactly what a reused pid
    // looks like. The live process's executable must not be lent to the old record.
    PeerProcess reused{std::move(gone.peer()->pidfd), alive.pid(), alive.peer()->uid, alive.peer()->gid};
    EXPECT_FALSE(openPeerExecutable(reused).has_value());
    EXPECT_TRUE(isPeerTracedOrGone(reused));
    // A record without a pidfd is never trusted, and a socket without a peer yields none.
    EXPECT_FALSE(openPeerExecutable(PeerProcess{UniqueFd{}, alive.pid(), 0, 0}).has_value());
    const UniqueFd unconnected(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_FALSE(peerProcessOfSocket(unconnected.get()).has_value());
}

}  // namespace
}  // namespace tavelin
