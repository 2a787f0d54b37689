// A front taken over by an attacker, played by the test: it speaks the channel to the
// daemon's own Monitor (serving on a thread of this process) whose operations ask a real
// polkitd, on a system bus of the test's own, under a rule that refuses everything; the
// file system is a scratch root with one file to lose. Whatever the front sends, the
// monitor acts only for clients that connected to its listening socket, and a request that
// breaks the channel's rules ends the conversation before any operation is audited.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TavelinHelper/monitor/Monitor.h"
#include "TavelinHelper/monitor/PrivilegedOperations.h"
#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/channel/SealedBlob.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinShared/tests/support/LayoutFolders.h"
#include "tests/e2e/EndToEndSupport.h"
#include "tests/e2e/PolkitWorld.h"

namespace tavelin::e2e {
namespace {

using namespace channel;

// The one file to lose, in the first removable area of the scratch root.
std::string victim() {
    return std::string(testing::layout::firstArea) + "/victim";
}
constexpr const char* breachLine = "[TavelinHelper] Front bricht das Kanalprotokoll (";

constexpr const char* refuseEverything = R"(
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("de.morvane.tavelin.") == 0)
        return polkit.Result.NO;
});)";

sockaddr_un socketAddress(const std::string& name, bool abstract, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    std::memcpy(&address.sun_path[offset], name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size() +
                                    (abstract ? 0 : 1));
    return address;
}

// A process of uid 65534 connected to the abstract `name`, until destroyed; when `program`
// is given, that program (run with the argument "1000") after it connected.
class NobodyClient {
  public:
    explicit NobodyClient(const std::string& name, const std::string& program = {}) {
        socklen_t length = 0;
        const sockaddr_un address = socketAddress(name, true, length);
        const char* const arguments[] = {program.c_str(), "1000", nullptr};
        int ready[2] = {-1, -1};
        EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                ::setresuid(65534, 65534, 65534) != 0 ||
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
                ::_exit(1);
            }
            if (!program.empty()) {
                // The pipe closes with the exec: then the test knows the program runs.
                ::execv(arguments[0], const_cast<char* const*>(arguments));
                ::_exit(1);
            }
            if (::write(ready[1], "c", 1) != 1) {
                ::_exit(1);
            }
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte = 0;
        const ssize_t got = ::read(ready[0], &byte, 1);
        connected_ = program.empty() ? got == 1 : got == 0 && ::kill(pid_, 0) == 0;
        ::close(ready[0]);
    }
    ~NobodyClient() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    NobodyClient(const NobodyClient&) = delete;
    NobodyClient& operator=(const NobodyClient&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool connected() const { return connected_; }

  private:
    pid_t pid_ = -1;
    bool connected_ = false;
};

// A socket bound to the abstract `name` inside a network namespace of its own and connected
// to the path socket `servicePath` of another root service: what any local user can make
// with a user and network namespace of their own.
UniqueFd socketFromAnotherNetworkNamespace(const std::string& name,
                                           const std::string& servicePath) {
    socklen_t ownLength = 0;
    const sockaddr_un own = socketAddress(name, true, ownLength);
    socklen_t serviceLength = 0;
    const sockaddr_un service = socketAddress(servicePath, false, serviceLength);
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return UniqueFd();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        // A socket belongs to the network namespace it was made in.
        const int fd = ::unshare(CLONE_NEWNET) == 0 ? ::socket(AF_UNIX, SOCK_STREAM, 0) : -1;
        const bool made =
            fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&own), ownLength) == 0 &&
            ::connect(fd, reinterpret_cast<const sockaddr*>(&service), serviceLength) == 0;
        ::_exit(made && sendDatagram(pair[1], "s", fd) ? 0 : 1);
    }
    ::close(pair[1]);
    const UniqueFd receiving(pair[0]);
    auto received = receiveDatagram(receiving.get());  // one byte and the descriptor
    ::waitpid(child, nullptr, 0);
    return received ? std::move(received->descriptor) : UniqueFd();
}

// A memory file holding `bytes`, sealed with `seals` only.
UniqueFd blobSealedWith(const std::string& bytes, int seals) {
    UniqueFd fd(::memfd_create("hostile", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd ||
        ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        (seals != 0 && ::fcntl(fd.get(), F_ADD_SEALS, seals) != 0)) {
        return UniqueFd();
    }
    return fd;
}

struct Reply {
    MonitorReply message;
    UniqueFd descriptor;
};

// One conversation with the monitor, the test writing the front's datagrams.
class Conversation {
  public:
    explicit Conversation(Monitor& monitor) {
        auto pair = makeChannelPair().value();
        front_ = std::move(pair.frontEnd);
        // A monitor that goes on where it should have ended fails the test, not hangs it.
        const timeval patience{20, 0};
        ::setsockopt(front_.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        thread_ = std::thread([&monitor, end = std::move(pair.monitorEnd)] {
            static_cast<void>(monitor.serve(end.get()));
        });
    }
    ~Conversation() {
        front_.reset();
        thread_.join();
    }
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // Sends `request` with `descriptor` beside it whatever the layout says.
    void send(const FrontRequest& request, int descriptor = -1) {
        static_cast<void>(
            sendDatagram(front_.get(), encodeRequest(nextId_++, request), descriptor));
    }
    std::optional<Reply> receive() {
        auto datagram = receiveDatagram(front_.get());
        auto envelope = datagram ? decodeReply(datagram->bytes, datagram->descriptor.valid())
                                 : Unexpected(ChannelError::truncated);
        if (!envelope) {
            return std::nullopt;
        }
        return Reply{std::move(envelope->message), std::move(datagram->descriptor)};
    }
    // True once the monitor has closed its end.
    bool ended() {
        auto datagram = receiveDatagram(front_.get());
        return !datagram && datagram.error().errorNumber == ECONNRESET;
    }
    // The handle of the next waiting client, accepted (and looked at, when `look`).
    std::uint64_t acceptNext(bool look) {
        send(AcceptPeer{});
        const auto accepted = receive();
        const auto* peer = accepted ? std::get_if<PeerAccepted>(&accepted->message) : nullptr;
        EXPECT_TRUE(peer != nullptr && peer->errorNumber == 0);
        const std::uint64_t handle = peer != nullptr ? peer->peerHandle : 0;
        if (look) {
            send(InspectPeer{handle});
            const auto opened = receive();
            EXPECT_TRUE(opened && std::get_if<PeerOpened>(&opened->message) != nullptr &&
                        std::get<PeerOpened>(opened->message).errorNumber == 0);
        }
        return handle;
    }

  private:
    UniqueFd front_;
    std::thread thread_;
    std::uint64_t nextId_ = 1;
};

RemoveSystemPaths removalOfVictim(std::uint64_t handle) {
    const std::string list = encodePathList({victim()});
    return RemoveSystemPaths{handle, 1, Attachment{static_cast<std::uint32_t>(list.size()), list}};
}

// The same removal, its path list in a blob of `length` bytes said to be there.
RemoveSystemPaths removalInBlob(std::uint64_t handle, std::size_t length) {
    return RemoveSystemPaths{handle, 1, Attachment{static_cast<std::uint32_t>(length), {}}};
}

// Holds every operation in its check until opened, then refuses them all.
class GatedAuthorization final : public OperationAuthorization {
  public:
    bool permits(const PrivilegedOperation& /*operation*/,
                 const Requester& /*requester*/) override {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        return false;
    }
    bool waitForHeld(std::size_t count) {
        std::unique_lock lock(mutex_);
        // Bounded, so that a monitor that refuses too early fails the test instead of
        // hanging it.
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return waiting_ >= count; });
    }
    void open() {
        const std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t waiting_ = 0;
    bool open_ = false;
};

class HostileFrontTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        world_ = PolkitWorld::enter(PolkitWorld::Bus::running, whyNot);
        if (!world_) {
            GTEST_SKIP() << whyNot;
        }
        world_->addRule("10-refuse.rules", refuseEverything);
        ASSERT_EQ(world_->startPolkitd(), "");
        scratch_.writeFile(victim(), 10);
        listening_ = listenOnAbstractName(name_).value();
        monitor_ = std::make_unique<Monitor>(log_, operations_, trust_, listening_.get());
    }

    [[nodiscard]] bool victimIntact() const { return scratch_.exists(victim()); }
    [[nodiscard]] bool anythingAudited() const {
        for (const std::string& line : log_.lines()) {
            if (line.rfind("[TavelinHelper] perform: ", 0) == 0) {
                return true;
            }
        }
        return false;
    }
    // Waits (for the monitor's thread) until `count` breach lines are logged.
    void waitForBreaches(std::size_t count) const {
        for (int round = 0; round < 2000 && breaches() < count; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    [[nodiscard]] std::size_t breaches() const {
        std::size_t count = 0;
        for (const std::string& line : log_.lines()) {
            count += line.rfind(breachLine, 0) == 0 ? 1 : 0;
        }
        return count;
    }

    std::string name_ = uniqueServiceName();
    std::unique_ptr<PolkitWorld> world_;
    testing::ScratchTree scratch_;
    CapturingLogSink log_;
    ClientFileSystem fileSystem_ = ClientFileSystem::open(scratch_.root(), "/").value();
    UpdateInstaller updates_;
    PolkitAuthorization authorization_{log_};
    PrivilegedOperations operations_{log_, fileSystem_, updates_, authorization_};
    CodeTrust trust_ = CodeTrust::ofThisProcess(::getuid()).value();
    UniqueFd listening_;
    std::unique_ptr<Monitor> monitor_;
};

TEST_F(HostileFrontTest, EveryBreachOfTheRulesEndsTheConversationBeforeAnythingRuns) {
    ScratchDirectory scratch;
    const std::string servicePath = scratch.file("service.socket");
    const UniqueFd otherService = [&] {
        socklen_t length = 0;
        const sockaddr_un address = socketAddress(servicePath, false, length);
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(fd.get(), 8), 0);
        return fd;
    }();
    const std::string list = encodePathList({victim()});
    using Attack = std::function<void(Conversation&)>;
    // What the attack did before the monitor accepted connections itself: present a socket
    // as the peer, then look at it and have the victim removed for whoever it names.
    const auto asPeer = [](std::function<UniqueFd()> make) -> Attack {
        return [make](Conversation& front) {
            const UniqueFd socket = make();
            ASSERT_TRUE(socket);
            front.send(AcceptPeer{}, socket.get());
            front.send(InspectPeer{1});
            front.send(removalOfVictim(1));
        };
    };
    const auto withBlob = [&](std::function<UniqueFd()> make, std::size_t said) -> Attack {
        return [&, make, said](Conversation& front) {
            const NobodyClient client(name_);
            ASSERT_TRUE(client.connected());
            const std::uint64_t handle = front.acceptNext(true);
            const UniqueFd blob = make();
            ASSERT_TRUE(blob);
            front.send(removalInBlob(handle, said), blob.get());
        };
    };
    const std::string longList = list + std::string(maxInlineAttachment, '\0');
    const struct {
        const char* name;
        Attack attack;
        const char* reason;
    } cases[] = {
        {"the listening socket as the peer",
         asPeer([&] { return UniqueFd(::dup(listening_.get())); }), "descriptorWrong"},
        {"a socket pair's end as the peer", asPeer([] {
             int pair[2] = {-1, -1};
             static_cast<void>(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
             ::close(pair[1]);
             return UniqueFd(pair[0]);
         }),
         "descriptorWrong"},
        {"a socket of another network namespace bound to the service's name",
         asPeer([&] { return socketFromAnotherNetworkNamespace(name_, servicePath); }),
         "descriptorWrong"},
        {"a socket connected to another root service", asPeer([&] {
             socklen_t length = 0;
             const sockaddr_un address = socketAddress(servicePath, false, length);
             UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
             static_cast<void>(
                 ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length));
             return fd;
         }),
         "descriptorWrong"},
        {"a look at a handle never given", [](Conversation& front) { front.send(InspectPeer{77}); },
         "unknown peer"},
        {"a release of a handle never given",
         [](Conversation& front) { front.send(ReleasePeer{77}); }, "unknown peer"},
        {"an operation for a released peer",
         [&](Conversation& front) {
             const NobodyClient client(name_);
             ASSERT_TRUE(client.connected());
             const std::uint64_t handle = front.acceptNext(true);
             front.send(ReleasePeer{handle});
             front.send(removalOfVictim(handle));
         },
         "unknown peer"},
        {"an operation for a peer never looked at",
         [&](Conversation& front) {
             const NobodyClient client(name_);
             ASSERT_TRUE(client.connected());
             front.send(removalOfVictim(front.acceptNext(false)));
         },
         "peer never looked at"},
        {"an update for a handle never given",
         [](Conversation& front) { front.send(InstallUpdates{77}); }, "unknown peer"},
        {"an unsealed blob", withBlob([&] { return blobSealedWith(longList, 0); }, longList.size()),
         "path blob"},
        {"a blob sealed against writing only",
         withBlob([&] { return blobSealedWith(longList, F_SEAL_WRITE); }, longList.size()),
         "path blob"},
        {"a blob that may shrink",
         withBlob(
             [&] { return blobSealedWith(longList, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SEAL); },
             longList.size()),
         "path blob"},
        {"a blob that may grow",
         withBlob(
             [&] { return blobSealedWith(longList, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_SEAL); },
             longList.size()),
         "path blob"},
        {"a blob longer than a path list may be",
         withBlob([&] { return makeSealedBlob(std::string(maxPathBlobSize + 1, 'p')).value(); },
                  maxPathBlobSize + 1),
         "path blob"},
        {"a blob of another length than said",
         withBlob([&] { return makeSealedBlob(longList).value(); }, longList.size() + 1),
         "path blob"},
        {"a socket as the blob",
         withBlob([&] { return UniqueFd(::dup(listening_.get())); }, longList.size()), "path blob"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = breaches();
        {
            Conversation front(*monitor_);
            c.attack(front);
            EXPECT_TRUE(front.ended()) << "the monitor went on";
        }
        EXPECT_EQ(breaches(), before + 1);
        const auto lines = log_.lines();
        const std::string last = lines.empty() ? std::string() : lines.back();
        EXPECT_NE(last.find(c.reason), std::string::npos) << last;
        EXPECT_TRUE(victimIntact());
        EXPECT_FALSE(anythingAudited());
    }
}

TEST_F(HostileFrontTest, MoreOperationsThanTheLimitEndTheConversation) {
    GatedAuthorization gate;
    PrivilegedOperations gated(log_, fileSystem_, updates_, gate);
    Monitor monitor(log_, gated, trust_, listening_.get());
    const NobodyClient client(name_);
    ASSERT_TRUE(client.connected());
    {
        Conversation front(monitor);
        // Opened however the block is left, before the conversation waits for its end.
        const std::unique_ptr<GatedAuthorization, void (*)(GatedAuthorization*)> opener(
            &gate, [](GatedAuthorization* held) { held->open(); });
        const std::uint64_t handle = front.acceptNext(true);
        for (std::size_t index = 0; index < Monitor::maxRunningOperations; ++index) {
            front.send(removalOfVictim(handle));
        }
        ASSERT_TRUE(gate.waitForHeld(Monitor::maxRunningOperations));
        EXPECT_EQ(breaches(), 0U);
        front.send(removalOfVictim(handle));
        waitForBreaches(1);
        EXPECT_EQ(breaches(), 1U);
        gate.open();
        // Each held operation answers; then the conversation ends.
        std::size_t answers = 0;
        while (front.receive()) {
            ++answers;
        }
        EXPECT_EQ(answers, Monitor::maxRunningOperations);
    }
    EXPECT_NE(log_.lines().back().find("too many operations"), std::string::npos);
    EXPECT_TRUE(victimIntact());
}

// Several threads read the channel, by turns; the requests are still handled one after
// the other in the order sent: a burst of operations runs on threads that then wait for
// requests together, the lines of a following burst are logged in their order, and a
// release sent right behind operations for its peer comes after all of them.
TEST_F(HostileFrontTest, RequestsAreHandledInTheOrderSentWhileOperationsRun) {
    constexpr std::size_t operations = 64;
    constexpr std::size_t lines = 2000;
    const NobodyClient client(name_);
    ASSERT_TRUE(client.connected());
    std::size_t answers = 0;
    {
        Conversation front(*monitor_);
        const std::uint64_t handle = front.acceptNext(true);
        for (std::size_t round = 0; round < 2; ++round) {
            for (std::size_t index = 0; index < operations; ++index) {
                front.send(removalOfVictim(handle));
            }
            for (std::size_t index = 0; index < operations && front.receive(); ++index) {
                ++answers;
            }
            for (std::size_t index = 0; index < lines; ++index) {
                front.send(RefusalLine{1, 1, {}, "[TavelinHelper] order " + std::to_string(index)});
            }
        }
        for (std::size_t index = 0; index < operations; ++index) {
            front.send(removalOfVictim(handle));
        }
        front.send(ReleasePeer{handle});
        for (std::size_t index = 0; index < operations && front.receive(); ++index) {
            ++answers;
        }
    }
    EXPECT_EQ(answers, 3 * operations);
    EXPECT_EQ(breaches(), 0U);
    std::vector<std::size_t> order;
    for (const auto& entry : log_.entries()) {
        if (entry.line.rfind("[TavelinHelper] order ", 0) == 0) {
            order.push_back(std::stoul(entry.line.substr(22)));
        }
    }
    ASSERT_EQ(order.size(), 2 * lines);
    for (std::size_t index = 0; index < order.size(); ++index) {
        ASSERT_EQ(order[index], index % lines) << "line " << index;
    }
    EXPECT_TRUE(victimIntact());
}

// A client whose program its own user may run but not read: the monitor opens it as root
// for the look, but hands it to the front only when the peer itself could have read it.
TEST_F(HostileFrontTest, AnExecutableItsPeerCannotReadNeverReachesTheFront) {
    ScratchDirectory scratch;
    const std::string unreadable = scratch.file("run-only");
    std::filesystem::copy_file("/bin/sleep", unreadable);
    ASSERT_EQ(::chmod(unreadable.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(std::filesystem::path(unreadable).parent_path().c_str(), 0711), 0);
    const NobodyClient client(name_, unreadable);
    ASSERT_TRUE(client.connected());
    Conversation front(*monitor_);
    const std::uint64_t handle = front.acceptNext(false);
    front.send(InspectPeer{handle});
    const auto look = front.receive();
    ASSERT_TRUE(look && std::holds_alternative<PeerOpened>(look->message));
    EXPECT_EQ(std::get<PeerOpened>(look->message).errorNumber, EACCES);
    EXPECT_FALSE(look->descriptor);
}

TEST_F(HostileFrontTest, TheRequesterIsAlwaysTheClientThatConnected) {
    Conversation front(*monitor_);
    // Nobody waits: nothing is accepted, the conversation goes on.
    front.send(AcceptPeer{});
    auto nothing = front.receive();
    ASSERT_TRUE(nothing && std::holds_alternative<PeerAccepted>(nothing->message));
    EXPECT_EQ(std::get<PeerAccepted>(nothing->message).errorNumber, EAGAIN);
    EXPECT_FALSE(nothing->descriptor);

    const NobodyClient client(name_);
    ASSERT_TRUE(client.connected());
    front.send(AcceptPeer{});
    auto accepted = front.receive();
    ASSERT_TRUE(accepted && std::holds_alternative<PeerAccepted>(accepted->message));
    const auto& peer = std::get<PeerAccepted>(accepted->message);
    EXPECT_EQ(peer.errorNumber, 0);
    EXPECT_EQ(peer.pid, client.pid());
    EXPECT_EQ(peer.uid, 65534U);
    ASSERT_TRUE(accepted->descriptor);
    EXPECT_EQ(peerCredentials(accepted->descriptor.get()).value().pid, client.pid());

    front.send(InspectPeer{peer.peerHandle});
    const auto opened = front.receive();
    ASSERT_TRUE(opened && std::holds_alternative<PeerOpened>(opened->message));
    EXPECT_EQ(std::get<PeerOpened>(opened->message).errorNumber, 0);
    front.send(removalOfVictim(peer.peerHandle));
    const auto done = front.receive();
    ASSERT_TRUE(done && std::holds_alternative<OperationDone>(done->message));
    EXPECT_FALSE(std::get<OperationDone>(done->message).success);
    EXPECT_EQ(std::get<OperationDone>(done->message).message.inlineBytes, "Nicht autorisiert");
    EXPECT_TRUE(victimIntact());

    // The front's word about a refused peer is logged as such, and that is all it gets.
    front.send(RefusalLine{4242, 7, {}, "[TavelinHelper] refused"});
    front.send(InspectPeer{peer.peerHandle});
    EXPECT_TRUE(front.receive().has_value());
    bool refusalLogged = false;
    for (const auto& entry : log_.entries()) {
        refusalLogged = refusalLogged || (entry.line == "[TavelinHelper] refused" && entry.peer &&
                                          entry.peer->pid == 4242);
    }
    EXPECT_TRUE(refusalLogged);
    EXPECT_EQ(breaches(), 0U);
}

}  // namespace
}  // namespace tavelin::e2e
