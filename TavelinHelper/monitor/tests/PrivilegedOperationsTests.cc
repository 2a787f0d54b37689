// The operations as the monitor runs them: the audit line before each acts, paths cut in
// the log, and failures that leave no result.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "ClientFileSystem.h"
#include "PrivilegedOperations.h"
#include "ScratchTree.h"

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

class OperationsTest : public ::testing::Test {
  protected:
    OperationsTest() { scratch.makeFolder("/Library/Caches"); }

    // A fake update tool below the scratch root: a shell script with `body`.
    std::string tool(const std::string& body) const {
        std::string path = scratch.real("/update");
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }

    const testing::ScratchTree scratch;
    const ClientFileSystem fs = ClientFileSystem::open(scratch.root(), "/").value();
};

TEST_F(OperationsTest, EachOperationIsAuditedBeforeItActs) {
    // The update tool creates the watched file, the repair makes it executable, the removal
    // removes it.
    const std::string watched = scratch.real("/Library/Caches/x");
    WatchingLogSink log(watched);
    UpdateInstaller updates(
        tool("echo hi > '" + watched + "'\nchmod 600 '" + watched + "'\necho 'Restart required'"));
    PrivilegedOperations operations(log, fs, updates);
    const std::pair<Op, PrivilegedResult> calls[] = {
        {Op::installSystemUpdates(),
         PrivilegedResult(true, "Systemupdates installiert \u2013 Neustart erforderlich.", 0)},
        {Op::repairPermissions("/Library/Caches/x"),
         PrivilegedResult(true, "Rechte gesetzt: /Library/Caches/x", 0)},
        {Op::removeSystemPaths({"/Library/Caches/x", "/etc/passwd"}),
         PrivilegedResult(true, "1 Pfade entfernt, 1 durch Policy abgelehnt", 3)},
    };
    for (const auto& [operation, result] : calls) {
        EXPECT_EQ(operations.perform(operation), result) << operation.auditDescription();
    }
    const std::vector<std::string> expected = {
        "[TavelinHelper] perform: macOS-Systemupdates installieren -",
        "[TavelinHelper] perform: Rechte reparieren: /Library/Caches/x +",
        "[TavelinHelper] perform: System-Pfade entfernen (2 Einträge) x",
        "[TavelinHelper] removed /Library/Caches/x (3 bytes) -",
    };
    EXPECT_EQ(log.entries, expected);
}

TEST_F(OperationsTest, LogLinesCarryAtMostFourKibibytesOfAPath) {
    scratch.writeFile("/Library/Caches/long", 5);
    // 4079 bytes after the 17-byte head end inside a two-byte "ä": the cut steps back.
    std::string umlauts = "/Library/Caches/x";
    for (int i = 0; i < 3000; ++i) {
        umlauts += "\u00e4";
    }
    const std::string kept = umlauts.substr(0, 4095);
    // Repeated slashes before the name keep a path of 5,020 bytes removable.
    const std::string slashes = "/Library/Caches" + std::string(5000, '/') + "long";
    CapturingLogSink log;
    UpdateInstaller updates;
    PrivilegedOperations operations(log, fs, updates);
    static_cast<void>(operations.perform(Op::repairPermissions(umlauts)));
    static_cast<void>(operations.perform(Op::removeSystemPaths({slashes})));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[TavelinHelper] perform: Rechte reparieren: " + kept + "\u2026 (" +
                      std::to_string(umlauts.size() - kept.size()) + " more bytes)",
                  "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)",
                  "[TavelinHelper] removed " + slashes.substr(0, 4096) + "\u2026 (" +
                      std::to_string(slashes.size() - 4096) + " more bytes) (5 bytes)"}));
    EXPECT_FALSE(scratch.exists("/Library/Caches/long"));
}

TEST_F(OperationsTest, AnOperationWhoseAuditLineCannotBeWrittenDoesNotRun) {
    scratch.writeFile("/Library/Caches/kept", 5);
    ThrowingLogSink log;
    UpdateInstaller updates;
    PrivilegedOperations operations(log, fs, updates);
    EXPECT_THROW(
        static_cast<void>(operations.perform(Op::removeSystemPaths({"/Library/Caches/kept"}))),
        std::bad_alloc);
    EXPECT_TRUE(scratch.exists("/Library/Caches/kept"));
}

}  // namespace
}  // namespace tavelin
