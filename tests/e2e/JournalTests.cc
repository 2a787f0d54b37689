// The daemon with its stderr connected to the journal, as the service manager starts it:
// priorities on its lines, and the peer's pid and uid beside the refusal and audit lines
// in the journal's native protocol, which a stand-in for the journal's socket receives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/journal/tests/JournalStandIn.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

using testing::JournalEntry;

bool privateMountsPossible() {
    return testing::runInChild([] { return testing::enterJournalStandIn("/run/systemd"); }) == "";
}

// Waits for the entry whose MESSAGE is `message` among those the stand-in receives.
JournalEntry entryWithMessage(testing::JournalStandIn& journal, std::vector<JournalEntry>& seen,
                              const std::string& message) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        for (const JournalEntry& entry : seen) {
            if (entry.count("MESSAGE") != 0 && entry.at("MESSAGE") == message) {
                return entry;
            }
        }
        const auto more = journal.entries(100);
        seen.insert(seen.end(), more.begin(), more.end());
    }
    return {};
}

TEST(JournalTest, RefusalsAndAuditLinesReachTheJournalWithThePeerAndNotStderr) {
    if (!privateMountsPossible()) {
        GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    }
    testing::JournalStandIn journal;
    // Started as the service manager starts it with its stderr the journal: JOURNAL_STREAM
    // names that stderr, and in a mount namespace of its own the stand-in lies over
    // /run/systemd. Each step execs the next in the same process.
    const ScratchDirectory scratch;
    const std::string launcher = scratch.file("launcher");
    std::ofstream(launcher) << "#!/bin/sh\nexec unshare --mount --propagation private /bin/sh -c "
                               "'mount --bind \"$0\" /run/systemd || exit 1\n"
                               "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2)\n"
                               "exec \"$1\"' '"
                            << journal.directory() << "' \"$1\"\n";
    std::filesystem::permissions(launcher, std::filesystem::perms(0755));
    std::string whyNot;
    const auto daemon = DaemonProcess::start(uniqueServiceName(), whyNot, 0, launcher);
    ASSERT_NE(daemon, nullptr) << whyNot;
    EXPECT_EQ(daemon->lines().back(),
              "<6>[TavelinHelper] gestartet, Service: " + daemon->serviceName());

    // Refused by the front (this test is not signed): the lines reach the journal through
    // the monitor, with our pid and uid, and say why.
    const UniqueFd refused = connectToAbstractName(daemon->serviceName()).value();
    std::string chunk;
    static_cast<void>(receiveSome(refused.get(), chunk, 64));
    EXPECT_EQ(chunk, "");
    std::vector<JournalEntry> seen;
    const std::string pid = std::to_string(::getpid());
    const std::string uid = std::to_string(::getuid());
    for (const std::string& message : {std::string(refusalReasonLine), refusalLine(::getpid())}) {
        const JournalEntry entry = entryWithMessage(journal, seen, message);
        EXPECT_EQ(entry, (JournalEntry{{"MESSAGE", message},
                                       {"PRIORITY", "3"},
                                       {"SYSLOG_IDENTIFIER", "tavelin-helper"},
                                       {"TAVELIN_PEER_PID", pid},
                                       {"TAVELIN_PEER_UID", uid},
                                       {"OBJECT_PID", pid},
                                       {"TAVELIN_REFUSAL_REASON", "unsigned"}}))
            << message;
    }

    // An operation's audit line, about the signed client that asked: a removal of a file of
    // ours outside the allowed folders, which the policy refuses and leaves in place.
    const std::string outside = scratch.file("outside-the-allowed-folders");
    writeFile(outside, 10);
    const ClientOutcome outcome =
        runClient(tavelinctlPath, {"remove", outside}, daemon->serviceName());
    EXPECT_EQ(outcome.exitStatus, 1) << outcome.output;
    EXPECT_EQ(outcome.output.rfind("0 Pfade entfernt, 1 durch Policy abgelehnt", 0), 0U)
        << outcome.output;
    EXPECT_TRUE(std::filesystem::exists(outside));
    const std::string audit = "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)";
    const JournalEntry entry = entryWithMessage(journal, seen, audit);
    EXPECT_EQ(entry.count("PRIORITY") != 0 ? entry.at("PRIORITY") : "", "5") << outcome.output;
    EXPECT_EQ(entry.count("TAVELIN_PEER_PID") != 0 ? entry.at("TAVELIN_PEER_PID") : "",
              std::to_string(outcome.pid));
    EXPECT_EQ(entry.count("TAVELIN_REFUSAL_REASON"), 0U);  // not a refusal

    // None of them also on stderr.
    for (const std::string& line : daemon->lines()) {
        EXPECT_EQ(line.find("ABGELEHNT"), std::string::npos) << line;
        EXPECT_EQ(line.find("perform:"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace tavelin::e2e
