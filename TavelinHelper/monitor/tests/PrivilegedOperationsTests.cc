// The operations as the monitor runs them: the audit line before each acts, paths cut in
// the log, and failures that leave no result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "TavelinHelper/monitor/PrivilegedOperations.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinShared/tests/support/LayoutFolders.h"

namespace tavelin {
namespace {

using Op = PrivilegedOperation;

// Notes with each line how a watched file was then: missing ("-"), there ("+") or
// executable ("x"), which shows whether a line came before or after an operation acted.
class WatchingLogSink final : public LogSink {
  public:
    explicit WatchingLogSink(std::string watched) : watched_(std::move(watched)) {}
    std::vector<std::string> entries;

  protected:
    void writeLine(std::string_view line) override {
        struct stat status {};
        const bool exists = ::stat(watched_.c_str(), &status) == 0;
        entries.push_back(std::string(line) + (!exists                        ? " -"
                                               : (status.st_mode & 0111) != 0 ? " x"
                                                                              : " +"));
    }

  private:
    std::string watched_;
};

class ThrowingLogSink final : public LogSink {
    void writeLine(std::string_view /*line*/) override { throw std::bad_alloc(); }
};

// Refuses everything, noting for each question how the watched file was when asked.
class RefusingAuthorization final : public OperationAuthorization {
  public:
    explicit RefusingAuthorization(WatchingLogSink& log) : log_(log) {}
    std::vector<pid_t> askedFor;

    bool permits(const PrivilegedOperation& operation, const Requester& requester) override {
        askedFor.push_back(requester.pid);
        log_.log("asked: " + operation.auditDescription());
        return false;
    }

  private:
    WatchingLogSink& log_;
};

class OperationsTest : public ::testing::Test {
  protected:
    OperationsTest() { scratch.makeFolder(caches); }

    // A fake update tool below the scratch root: a shell script with `body`.
    std::string tool(const std::string& body) const {
        std::string path = scratch.real("/update");
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }

    const std::string caches{testing::layout::firstArea};
    const testing::ScratchTree scratch;
    const ClientFileSystem fs = ClientFileSystem::open(scratch.root(), "/").value();
    NoAuthorization allowAll;
    const Requester self{UniqueFd(), ::getpid(), ::getuid(), 0};
};

TEST_F(OperationsTest, EachOperationIsAuditedBeforeItActs) {
    // The update tool creates the watched file, the repair makes it executable, the removal
    // removes it.
    const std::string watched = scratch.real(caches + "/x");
    WatchingLogSink log(watched);
    UpdateInstaller updates(
        tool("echo hi > '" + watched + "'\nchmod 600 '" + watched + "'\necho 'Restart required'"));
    PrivilegedOperations operations(log, fs, updates, allowAll);
    const std::pair<Op, PrivilegedResult> calls[] = {
        {Op::installSystemUpdates(),
         PrivilegedResult(true, "Systemupdates installiert \u2013 Neustart erforderlich.", 0)},
        {Op::repairPermissions(caches + "/x"),
         PrivilegedResult(true, "Rechte gesetzt: " + caches + "/x", 0)},
        {Op::removeSystemPaths({caches + "/x", "/etc/passwd"}),
         PrivilegedResult(true, "1 Pfade entfernt, 1 durch Policy abgelehnt", 3)},
    };
    for (const auto& [operation, result] : calls) {
        EXPECT_EQ(operations.perform(operation, self), result) << operation.auditDescription();
    }
    const std::vector<std::string> expected = {
        "[TavelinHelper] perform: macOS-Systemupdates installieren -",
        "[TavelinHelper] perform: Rechte reparieren: " + caches + "/x +",
        "[TavelinHelper] perform: System-Pfade entfernen (2 Einträge) x",
        "[TavelinHelper] removed " + caches + "/x (3 bytes) -",
    };
    EXPECT_EQ(log.entries, expected);
}

TEST_F(OperationsTest, AnOperationTheUserMayNotHaveDoneIsAuditedThenLeavesEverythingAsItWas) {
    const std::string watched = scratch.real(caches + "/x");
    scratch.writeFile(caches + "/x", 3);
    ::chmod(watched.c_str(), 0600);
    WatchingLogSink log(watched);
    RefusingAuthorization refusing(log);
    const std::string witness = scratch.real("/updated");
    UpdateInstaller updates(tool("echo hi > '" + witness + "'"));
    PrivilegedOperations operations(log, fs, updates, refusing);
    const Op calls[] = {
        Op::removeSystemPaths({caches + "/x"}),
        Op::repairPermissions(caches + "/x"),
        Op::installSystemUpdates(),
    };
    for (const Op& operation : calls) {
        EXPECT_EQ(operations.perform(operation, self),
                  PrivilegedResult(false, "Nicht autorisiert", 0))
            << operation.auditDescription();
    }
    EXPECT_EQ(refusing.askedFor, std::vector<pid_t>(3, ::getpid()));
    const std::vector<std::string> expected = {
        "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge) +",
        "asked: System-Pfade entfernen (1 Eintr\u00e4ge) +",
        "[TavelinHelper] perform: Rechte reparieren: " + caches + "/x +",
        "asked: Rechte reparieren: " + caches + "/x +",
        "[TavelinHelper] perform: macOS-Systemupdates installieren +",
        "asked: macOS-Systemupdates installieren +",
    };
    EXPECT_EQ(log.entries, expected);
    EXPECT_FALSE(scratch.exists("/updated"));
}

TEST_F(OperationsTest, LogLinesCarryAtMostFourKibibytesOfAPath) {
    scratch.writeFile(caches + "/long", 5);
    // After a head of odd length, 4096 bytes end inside a two-byte "ä": the cut steps back.
    std::string umlauts = caches + "/x";
    if (umlauts.size() % 2 == 0) {
        umlauts += 'x';
    }
    for (int i = 0; i < 3000; ++i) {
        umlauts += "\u00e4";
    }
    const std::string kept = umlauts.substr(0, 4095);
    // Repeated slashes before the name keep a path of over 5,000 bytes removable.
    const std::string slashes = caches + std::string(5000, '/') + "long";
    CapturingLogSink log;
    UpdateInstaller updates;
    PrivilegedOperations operations(log, fs, updates, allowAll);
    static_cast<void>(operations.perform(Op::repairPermissions(umlauts), self));
    static_cast<void>(operations.perform(Op::removeSystemPaths({slashes}), self));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[TavelinHelper] perform: Rechte reparieren: " + kept + "\u2026 (" +
                      std::to_string(umlauts.size() - kept.size()) + " more bytes)",
                  "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)",
                  "[TavelinHelper] removed " + slashes.substr(0, 4096) + "\u2026 (" +
                      std::to_string(slashes.size() - 4096) + " more bytes) (5 bytes)"}));
    EXPECT_FALSE(scratch.exists(caches + "/long"));
}

TEST_F(OperationsTest, TheAuditTrailIsNoticesAboutTheRequester) {
    scratch.writeFile(caches + "/gone", 3);
    CapturingLogSink log;
    UpdateInstaller updates;
    PrivilegedOperations operations(log, fs, updates, allowAll);
    const Requester other{UniqueFd(), 4242, 1001, 0};
    static_cast<void>(operations.perform(Op::removeSystemPaths({caches + "/gone"}), other));
    const LogPeer peer{4242, 1001};
    EXPECT_EQ(
        log.entries(),
        (std::vector<CapturingLogSink::Entry>{
            {LogPriority::notice, peer,
             "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)"},
            {LogPriority::notice, peer, "[TavelinHelper] removed " + caches + "/gone (3 bytes)"}}));
}

TEST_F(OperationsTest, AnOperationWhoseAuditLineCannotBeWrittenDoesNotRun) {
    scratch.writeFile(caches + "/kept", 5);
    ThrowingLogSink log;
    UpdateInstaller updates;
    PrivilegedOperations operations(log, fs, updates, allowAll);
    EXPECT_THROW(
        static_cast<void>(operations.perform(Op::removeSystemPaths({caches + "/kept"}), self)),
        std::bad_alloc);
    EXPECT_TRUE(scratch.exists(caches + "/kept"));
}

}  // namespace
}  // namespace tavelin
