// The daemon's delegate behind a real listener: a connection whose peer cannot be recorded
// is refused with its reason and refusal lines, and connections closed for breaking the
// protocol leave one line each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "ClientAuthorization.h"
#include "ClientFileSystem.h"
#include "HelperListenerDelegate.h"
#include "IdentityTestSupport.h"
#include "IpcTestSupport.h"
#include "UpdateInstallation.h"

namespace tavelin {
namespace {

std::optional<PeerProcess> noPeerRecord(int /*socketFd*/) {
    return std::nullopt;
}

struct Daemon {
    CapturingLogSink log;
    ClientFileSystem fileSystem = ClientFileSystem::open("/").value();
    testing::TestIdentity identity = testing::makeIdentity();
    TrustAnchor anchor = identity.trustAnchor();
    Requirement requirement = parseClientCodeRequirement().value();
    UpdateInstaller updates;
    HelperListenerDelegate delegate{log, fileSystem, anchor, requirement, updates};
};

TEST(HelperListenerDelegateTest, AConnectionWithoutAPeerRecordIsRefusedWithBothLines) {
    Daemon daemon;
    const testing::RunningListener listener(daemon.delegate, 2, &noPeerRecord);
    const UniqueFd fd = testing::connectTo(listener.name());
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

TEST(HelperListenerDelegateTest, EachProtocolViolationLeavesOneLineWithThePid) {
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
        {ConnectionEnd::closedByPeer, ""},
        {ConnectionEnd::transportError, ""},
    };
    for (const auto& c : cases) {
        Daemon daemon;
        daemon.delegate.connectionEnded(42, c.end);
        EXPECT_EQ(daemon.log.lines(),
                  c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line})
            << static_cast<int>(c.end);
    }
}

}  // namespace
}  // namespace tavelin
