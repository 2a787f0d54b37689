// Admission with real connections: the test process itself carries no signature, so the
// delegate must refuse it with the verification's reason line and then the refusal line
// naming our pid, and hand out no service.

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "ClientFileSystem.h"
#include "ClientVerification.h"
#include "HelperListenerDelegate.h"
#include "LogSink.h"
#include "PeerProcess.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

TEST(HelperListenerDelegateTest, UnsignedPeerIsRefusedWithTwoLinesInOrder) {
    const std::string name = "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + ".d";
    auto listening = listenOnAbstractName(name);
    ASSERT_TRUE(std::holds_alternative<UniqueFd>(listening));
    auto client = connectToAbstractName(name);
    ASSERT_TRUE(std::holds_alternative<UniqueFd>(client));
    auto accepted = acceptConnection(std::get<UniqueFd>(listening).get());
    ASSERT_TRUE(std::holds_alternative<UniqueFd>(accepted));
    const auto peer = peerProcessOfSocket(std::get<UniqueFd>(accepted).get());
    ASSERT_TRUE(peer.has_value());

    auto fileSystem = ClientFileSystem::open("/");
    ASSERT_TRUE(fileSystem.ok());
    auto anchor = loadPlatformTrustAnchor();
    ASSERT_TRUE(anchor.ok()) << anchor.error().message;
    CapturingLogSink log;
    HelperListenerDelegate delegate(log, fileSystem.value(), anchor.value());

    EXPECT_EQ(delegate.shouldAcceptNewConnection(*peer), nullptr);
    const std::vector<std::string> expected = {
        "[TavelinHelper] Client-Signatur erf\u00fcllt das Requirement nicht.",
        "[TavelinHelper] Verbindung ABGELEHNT (Signaturpr\u00fcfung fehlgeschlagen, pid=" +
            std::to_string(::getpid()) + ")",
    };
    EXPECT_EQ(log.lines(), expected);
}

}  // namespace
}  // namespace tavelin
