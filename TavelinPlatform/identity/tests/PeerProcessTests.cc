#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "IdentityTestSupport.h"
#include "PeerProcess.h"

namespace tavelin {
namespace {

using testing::AbstractListener;
using testing::ScratchDirectory;

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};

FileId idOfFd(int fd) {
    struct stat status {};
    EXPECT_EQ(::fstat(fd, &status), 0);
    return {status.st_dev, status.st_ino};
}

FileId idOfPath(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return {status.st_dev, status.st_ino};
}

TEST(PeerProcessTest, RecordsTheConnectingProcessAndOpensItsExecutable) {
    ScratchDirectory scratch;
    const auto program = scratch.path() / "peer";
    testing::copyTestPeer(program);
    AbstractListener listener;
    auto connected = testing::connectPeer(program, listener);
    ASSERT_TRUE(connected.peer.has_value());
    EXPECT_EQ(connected.peer->pid, connected.child->pid());
    EXPECT_EQ(connected.peer->uid, ::getuid());
    EXPECT_EQ(connected.peer->gid, ::getgid());
    EXPECT_TRUE(connected.peer->pidfd.valid());

    const auto executable = openPeerExecutable(*connected.peer);
    ASSERT_TRUE(executable.has_value());
    EXPECT_EQ(idOfFd(executable->get()), idOfPath(program));
    EXPECT_TRUE(isRunningExecutable(*connected.peer, executable->get()));
    EXPECT_FALSE(isPeerTracedOrGone(*connected.peer));
}

TEST(PeerProcessTest, AGonePeerOrAReusedPidYieldsNothing) {
    ScratchDirectory scratch;
    const auto program = scratch.path() / "peer";
    testing::copyTestPeer(program);
    AbstractListener listener;
    auto gone = testing::connectPeer(program, listener);
    auto alive = testing::connectPeer(program, listener);
    ASSERT_TRUE(gone.peer.has_value() && alive.peer.has_value());
    gone.child->stop();

    EXPECT_FALSE(openPeerExecutable(*gone.peer).has_value());
    EXPECT_TRUE(isPeerTracedOrGone(*gone.peer));

    // The pidfd of the exited process with the pid of a live one: exactly what a reused pid
    // looks like. The live process's executable must not be lent to the old record.
    PeerProcess reused{std::move(gone.peer->pidfd), alive.peer->pid, alive.peer->uid,
                       alive.peer->gid};
    EXPECT_FALSE(openPeerExecutable(reused).has_value());
    EXPECT_TRUE(isPeerTracedOrGone(reused));

    // A record without a pidfd is never trusted.
    PeerProcess noPidfd{UniqueFd{}, alive.peer->pid, alive.peer->uid, alive.peer->gid};
    EXPECT_FALSE(openPeerExecutable(noPidfd).has_value());
}

TEST(PeerProcessTest, SeesATracedPeer) {
    ScratchDirectory scratch;
    const auto program = scratch.path() / "peer";
    testing::copyTestPeer(program);
    AbstractListener listener;

    auto traceMe = testing::connectPeer(program, listener, true);
    ASSERT_TRUE(traceMe.peer.has_value());
    EXPECT_TRUE(isPeerTracedOrGone(*traceMe.peer));

    auto seized = testing::connectPeer(program, listener);
    ASSERT_TRUE(seized.peer.has_value());
    EXPECT_FALSE(isPeerTracedOrGone(*seized.peer));
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, seized.child->pid(), nullptr, nullptr), 0);
    EXPECT_TRUE(isPeerTracedOrGone(*seized.peer));
    // A seized tracee must be stopped before it can be let go.
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, seized.child->pid(), nullptr, nullptr), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(seized.child->pid(), &status, 0), seized.child->pid());
    ASSERT_EQ(::ptrace(PTRACE_DETACH, seized.child->pid(), nullptr, nullptr), 0);
    EXPECT_FALSE(isPeerTracedOrGone(*seized.peer));
}

TEST(PeerProcessTest, ASocketWithoutPeerCredentialsYieldsNothing) {
    const UniqueFd unconnected(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const UniqueFd file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // An unconnected socket reports pid 0; a file is not a socket at all.
    EXPECT_FALSE(peerProcessOfSocket(unconnected.get()).has_value());
    EXPECT_FALSE(peerProcessOfSocket(file.get()).has_value());
    EXPECT_FALSE(peerProcessOfSocket(-1).has_value());
}

}  // namespace
}  // namespace tavelin
