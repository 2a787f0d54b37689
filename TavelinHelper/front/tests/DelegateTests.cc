// The daemon's own delegate behind a real front and monitor in this process: a peer the
// monitor cannot record is refused with its reason and refusal lines, and connections
// closed for breaking the protocol leave one line each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TavelinHelper/front/ClientAuthorization.h"
#include "TavelinHelper/front/FrontServer.h"
#include "TavelinHelper/front/HelperListenerDelegate.h"
#include "TavelinHelper/front/tests/FrontTestSupport.h"
#include "TavelinHelper/monitor/Monitor.h"
#include "TavelinHelper/monitor/PrivilegedOperations.h"
#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinPlatform/identity/tests/IdentityTestSupport.h"

namespace tavelin {
namespace {

std::optional<PeerProcess> noPeerRecord(int /*socketFd*/) {
    return std::nullopt;
}

// A monitor and a front on a fresh name, each on a thread of its own.
class InProcessDaemon {
  public:
    explicit InProcessDaemon(Monitor::PeerLookup lookUpPeer) {
        auto socket = listenOnAbstractName(name_).value();
        auto channel = channel::makeChannelPair().value();
        monitor_.emplace(log, operations_, trust_, socket.get(), lookUpPeer);
        client_.emplace(std::move(channel.frontEnd));
        delegate_.emplace(log, *client_, anchor_, requirement_);
        server_.emplace(std::move(socket), *client_, *delegate_);
        monitorThread_ = std::thread([this, end = std::move(channel.monitorEnd)] {
            static_cast<void>(monitor_->serve(end.get()));
        });
        frontThread_ = std::thread([this] { static_cast<void>(server_->run()); });
    }
    ~InProcessDaemon() {
        server_->stop();
        frontThread_.join();
        server_.reset();
        client_.reset();  // closes the channel: the monitor's session ends
        monitorThread_.join();
    }
    InProcessDaemon(const InProcessDaemon&) = delete;
    InProcessDaemon& operator=(const InProcessDaemon&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }
    CapturingLogSink log;

  private:
    std::string name_ = testing::uniqueServiceName();
    testing::ScratchTree scratch_;
    ClientFileSystem fileSystem_ = ClientFileSystem::open(scratch_.root()).value();
    UpdateInstaller updates_;
    NoAuthorization authorization_;
    PrivilegedOperations operations_{log, fileSystem_, updates_, authorization_};
    TrustAnchor anchor_ = testing::makeIdentity().trustAnchor();
    Requirement requirement_ = parseClientCodeRequirement().value();
    CodeTrust trust_ = CodeTrust::ofThisProcess(::getuid()).value();
    std::optional<Monitor> monitor_;
    std::optional<MonitorClient> client_;
    std::optional<HelperListenerDelegate> delegate_;
    std::optional<FrontServer> server_;
    std::thread monitorThread_;
    std::thread frontThread_;
};

TEST(DelegateTest, APeerTheMonitorCannotRecordIsRefusedWithBothLines) {
    InProcessDaemon daemon(&noPeerRecord);
    const UniqueFd fd = testing::connectTo(daemon.name());
    ASSERT_TRUE(fd);
    FrameReader reader;
    EXPECT_TRUE(testing::closesWithoutData(fd.get(), reader));
    EXPECT_EQ(
        daemon.log.lines(),
        (std::vector<std::string>{
            "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar.",
            "[TavelinHelper] Verbindung ABGELEHNT (Signaturpr\u00fcfung fehlgeschlagen, pid=" +
                std::to_string(::getpid()) + ")"}));
}

TEST(DelegateTest, EachProtocolViolationLeavesOneLineWithThePid) {
    const struct {
        ConnectionEnd end;
        std::string line;  // empty: nothing is logged
    } cases[] = {
        {ConnectionEnd::bytesBeforeHello,
         "[TavelinHelper] Verbindung geschlossen (Daten vor dem HELLO, pid=42)"},
        {ConnectionEnd::foreignSender,
         "[TavelinHelper] Verbindung geschlossen (Daten eines fremden Prozesses, pid=42)"},
        {ConnectionEnd::protocolError,
         "[TavelinHelper] Verbindung geschlossen (Protokollverletzung, pid=42)"},
        {ConnectionEnd::frameTimeout,
         "[TavelinHelper] Verbindung geschlossen (Frame unvollst\u00e4ndig nach 10 s, pid=42)"},
        {ConnectionEnd::closedByPeer, ""},
        {ConnectionEnd::transportError, ""},
    };
    const TrustAnchor anchor = testing::makeIdentity().trustAnchor();
    const Requirement requirement = parseClientCodeRequirement().value();
    auto channel = channel::makeChannelPair().value();
    MonitorClient monitor(std::move(channel.frontEnd));
    for (const auto& c : cases) {
        CapturingLogSink log;
        HelperListenerDelegate delegate(log, monitor, anchor, requirement);
        delegate.connectionEnded(LogPeer{42, 1000}, c.end);
        const std::vector<CapturingLogSink::Entry> expected = {
            {LogPriority::error, LogPeer{42, 1000}, c.line}};
        EXPECT_EQ(log.entries(), c.line.empty() ? std::vector<CapturingLogSink::Entry>{} : expected)
            << static_cast<int>(c.end);
    }
}

}  // namespace
}  // namespace tavelin
