#include "HelperService.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ClientFileSystem.h"
#include "ServiceTestSupport.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

// Writes down with each line whether a watched file existed at that moment, which shows
// whether a line came before or after what an operation does.
class WatchingLogSink final : public LogSink {
public:
    explicit WatchingLogSink(std::string watched) : watched_(std::move(watched)) {}
    std::vector<std::string> entries;

protected:
    void writeLine(std::string_view line) override {
        struct stat status {};
        entries.push_back(std::string(line) + (::lstat(watched_.c_str(), &status) == 0 ? " +" : " -"));
    }

private:
    std::string watched_;
};

class ThrowingLogSink final : public LogSink {
protected:
    void writeLine(std::string_view /*line*/) override { throw std::bad_alloc(); }
};

// Calls perform once and returns every reply it received.
std::vector<std::string> replies(HelperService& service, std::string_view request) {
    std::vector<std::string> received;
    service.perform(request, [&](const std::string& answer) { received.push_back(answer); });
    return received;
}

std::string encoded(bool success, const std::string& message, std::int64_t freedBytes = 0) {
    return PrivilegedResult(success, message, freedBytes).encode().value();
}

// A scratch root with the one system folder the operations here touch.
class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() { std::filesystem::create_directories(scratch.path() + "/Library/Caches"); }

    testing::ScratchDirectory scratch;
    ClientFileSystem fs = ClientFileSystem::open(scratch.path(), "/").value();
};

TEST_F(ServiceTest, EachOperationIsAuditedBeforeItActs) {
    // The update tool creates the watched file, the removal removes it: "+" marks a line
    // written while it existed.
    const std::string watched = scratch.path() + "/Library/Caches/x";
    const std::string tool = scratch.tool("update", "echo hello > '" + watched + "'\necho 'Restart required'");
    WatchingLogSink log(watched);
    HelperService service(log, fs, tool);
    EXPECT_EQ(replies(service, R"({"installSystemUpdates":{}})"),
              std::vector<std::string>{encoded(true, "Systemupdates installiert \u2013 Neustart erforderlich.")});
    EXPECT_EQ(replies(service, R"({"removeSystemPaths":{"_0":["/Library/Caches/x"]}})"),
              std::vector<std::string>{encoded(true, "1 Pfade entfernt", 6)});
    const std::vector<std::string> expected = {
        "[TavelinHelper] perform: macOS-Systemupdates installieren -",
        "[TavelinHelper] perform: System-Pfade entfernen (1 Einträge) +",
        "[TavelinHelper] removed /Library/Caches/x (6 bytes) -",
    };
    EXPECT_EQ(log.entries, expected);
}

TEST_F(ServiceTest, CallsOnOneServiceAreIndependent) {
    scratch.file("Library/Caches/a", "12345678");
    const std::string repaired = scratch.file("Library/Caches/y", "data", 0600);
    CapturingLogSink log;
    HelperService service(log, fs, scratch.path() + "/missing-tool");
    const std::tuple<std::string, std::string, std::vector<std::string>> calls[] = {
        {R"({"removeSystemPaths":{"_0":["/Library/Caches/a","/etc/passwd"]}})",
         encoded(true, "1 Pfade entfernt, 1 durch Policy abgelehnt", 8),
         {"[TavelinHelper] perform: System-Pfade entfernen (2 Einträge)",
          "[TavelinHelper] removed /Library/Caches/a (8 bytes)"}},
        // Undecodable requests are refused without a log line.
        {"not json", encoded(false, "Ungültige Operation"), {}},
        {R"({"installSystemUpdates":{},"repairPermissions":{"path":"/Library/Caches/y"}})",
         encoded(false, "Ungültige Operation"), {}},
        {R"({"repairPermissions":{"path":"\/Library\/Caches\/y"}})",
         encoded(true, "Rechte gesetzt: /Library/Caches/y"),
         {"[TavelinHelper] perform: Rechte reparieren: /Library/Caches/y"}},
        {R"({"installSystemUpdates":{}})", encoded(false, "Start fehlgeschlagen: No such file or directory"),
         {"[TavelinHelper] perform: macOS-Systemupdates installieren"}},
        {R"({"removeSystemPaths":{"_0":["/Library/Caches/a"]}})",
         encoded(false, "0 Pfade entfernt, 1 fehlgeschlagen"),
         {"[TavelinHelper] perform: System-Pfade entfernen (1 Einträge)"}},
    };
    for (const auto& [request, reply, lines] : calls) {
        log.clear();
        EXPECT_EQ(replies(service, request), std::vector<std::string>{reply}) << request;
        EXPECT_EQ(log.lines(), lines) << request;
    }
    struct stat status {};
    ASSERT_EQ(::stat(repaired.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, 0755U);
}

TEST_F(ServiceTest, ConcurrentUpdateRunsEachGetTheirOwnAnswerOnce) {
    CapturingLogSink log;
    HelperService service(log, fs, scratch.tool("update", "sleep 0.2\necho 'Please shut down'\nseq 1 50000"));
    std::vector<std::string> answers[3];
    std::vector<std::thread> threads;
    for (auto& answer : answers) {
        threads.emplace_back([&service, &answer] { answer = replies(service, R"({"installSystemUpdates":{}})"); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& answer : answers) {
        EXPECT_EQ(answer, std::vector<std::string>{encoded(true, "Systemupdates installiert \u2013 Neustart erforderlich.")});
    }
    EXPECT_EQ(log.lines().size(), 3U);
}

TEST_F(ServiceTest, FailuresInsideNeverEscapeAndStillReplyOnce) {
    // The audit line cannot be written: no result exists, the answer is empty. Undecodable
    // requests never reach the log, so they are answered as usual.
    ThrowingLogSink throwingLog;
    HelperService unlogged(throwingLog, fs);
    EXPECT_EQ(replies(unlogged, R"({"installSystemUpdates":{}})"), std::vector<std::string>{""});
    EXPECT_EQ(replies(unlogged, "{}"), std::vector<std::string>{encoded(false, "Ungültige Operation")});

    // A reply that throws is called once and its exception stays inside.
    CapturingLogSink log;
    HelperService service(log, fs);
    int calls = 0;
    const auto throwing = [&calls](const std::string&) {
        ++calls;
        throw std::runtime_error("connection gone");
    };
    EXPECT_NO_THROW(service.perform("{}", throwing));
    EXPECT_NO_THROW(service.helperVersion(throwing));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tavelin
