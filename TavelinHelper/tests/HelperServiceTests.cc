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

using testing::ScratchDirectory;

// Records each line together with whether a watched file existed when it was written,
// which shows whether a line came before or after what an operation does.
class WatchingLogSink final : public LogSink {
public:
    explicit WatchingLogSink(std::string watched) : watched_(std::move(watched)) {}

    struct Entry {
        std::string line;
        bool watchedExisted;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    [[nodiscard]] std::vector<Entry> entries() const {
        const std::lock_guard guard(mutex_);
        return entries_;
    }

protected:
    void writeLine(std::string_view line) override {
        struct stat status {};
        const bool exists = ::lstat(watched_.c_str(), &status) == 0;
        const std::lock_guard guard(mutex_);
        entries_.push_back({std::string(line), exists});
    }

private:
    std::string watched_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

class ThrowingLogSink final : public LogSink {
protected:
    void writeLine(std::string_view /*line*/) override { throw std::bad_alloc(); }
};

// NOLINTNEXTLINE(readability-identifier-naming): the name GoogleTest looks for
void PrintTo(const WatchingLogSink::Entry& entry, std::ostream* out) {
    *out << "{" << entry.line << ", " << (entry.watchedExisted ? "before" : "after") << "}";
}

// Calls perform once and returns every reply it received.
std::vector<std::string> replies(HelperService& service, std::string_view request) {
    std::vector<std::string> received;
    service.perform(request, [&](const std::string& answer) { received.push_back(answer); });
    return received;
}

std::string encoded(bool success, const std::string& message, std::int64_t freedBytes) {
    return PrivilegedResult(success, message, freedBytes).encode().value();
}

// A scratch root with the system folders the operations are allowed to touch.
class ServiceFixture : public ::testing::Test {
protected:
    ServiceFixture() {
        ::mkdir((scratch.path() + "/Library").c_str(), 0755);
        ::mkdir((scratch.path() + "/Library/Caches").c_str(), 0755);
    }

    [[nodiscard]] ClientFileSystem fileSystem() const {
        auto opened = ClientFileSystem::open(scratch.path(), "/");
        EXPECT_TRUE(opened.ok());
        return std::move(opened).value();
    }

    ScratchDirectory scratch;
};

TEST_F(ServiceFixture, UndecodableRequestsAreRefusedWithoutALogLine) {
    const ClientFileSystem fs = fileSystem();
    CapturingLogSink log;
    HelperService service(log, fs, scratch.path() + "/no-tool");
    const std::string refused = encoded(false, "Ungültige Operation", 0);
    const std::string requests[] = {
        "",
        "{}",
        "not json",
        R"({"installSystemUpdates":{},"repairPermissions":{"path":"/Library/Caches/x"}})",
        R"({"repairPermissions":{}})",
        R"({"removeSystemPaths":{"_0":"/Library/Caches/x"}})",
        "{\"repairPermissions\":{\"path\":\"\xff\"}}",
    };
    for (const auto& request : requests) {
        EXPECT_EQ(replies(service, request), std::vector<std::string>{refused}) << request;
        EXPECT_TRUE(log.lines().empty()) << request;
    }
}

TEST_F(ServiceFixture, HelperVersionRepliesOnceAndLogsNothing) {
    const ClientFileSystem fs = fileSystem();
    CapturingLogSink log;
    HelperService service(log, fs);
    for (int call = 0; call < 2; ++call) {
        std::vector<std::string> received;
        service.helperVersion([&](const std::string& version) { received.push_back(version); });
        EXPECT_EQ(received, std::vector<std::string>{"0.0.1"});
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ServiceFixture, RemovalIsAuditedBeforeItRuns) {
    const std::string target = scratch.file("Library/Caches/x", "hello");
    const ClientFileSystem fs = fileSystem();
    WatchingLogSink log(target);
    HelperService service(log, fs);

    EXPECT_EQ(replies(service, R"({"removeSystemPaths":{"_0":["/Library/Caches/x"]}})"),
              std::vector<std::string>{encoded(true, "1 Pfade entfernt", 5)});
    const std::vector<WatchingLogSink::Entry> expected = {
        {"[TavelinHelper] perform: System-Pfade entfernen (1 Einträge)", true},
        {"[TavelinHelper] removed /Library/Caches/x (5 bytes)", false},
    };
    EXPECT_EQ(log.entries(), expected);
}

TEST_F(ServiceFixture, UpdateRunIsAuditedBeforeTheToolStarts) {
    // The tool leaves a marker behind, so the log shows whether it had run yet.
    const std::string marker = scratch.path() + "/tool-ran";
    const std::string tool =
        scratch.tool("update", "touch '" + marker + "'\necho 'Restart required'");
    const ClientFileSystem fs = fileSystem();
    WatchingLogSink log(marker);
    HelperService service(log, fs, tool);

    EXPECT_EQ(replies(service, R"({"installSystemUpdates":{}})"),
              std::vector<std::string>{
                  encoded(true, "Systemupdates installiert \u2013 Neustart erforderlich.", 0)});
    const std::vector<WatchingLogSink::Entry> expected = {
        {"[TavelinHelper] perform: macOS-Systemupdates installieren", false},
    };
    EXPECT_EQ(log.entries(), expected);
    EXPECT_EQ(::access(marker.c_str(), F_OK), 0);
}

TEST_F(ServiceFixture, CallsOnOneServiceAreIndependent) {
    scratch.file("Library/Caches/a", "12345678");
    const std::string repaired = scratch.file("Library/Caches/y", "data", 0600);
    const ClientFileSystem fs = fileSystem();
    CapturingLogSink log;
    HelperService service(log, fs, scratch.path() + "/missing-tool");
    struct Call {
        std::string request;
        std::string reply;
        std::vector<std::string> lines;
    };
    const Call calls[] = {
        {R"({"removeSystemPaths":{"_0":["/Library/Caches/a","/etc/passwd"]}})",
         encoded(true, "1 Pfade entfernt, 1 durch Policy abgelehnt", 8),
         {"[TavelinHelper] perform: System-Pfade entfernen (2 Einträge)",
          "[TavelinHelper] removed /Library/Caches/a (8 bytes)"}},
        {"garbage", encoded(false, "Ungültige Operation", 0), {}},
        {R"({"repairPermissions":{"path":"\/Library\/Caches\/y"}})",
         encoded(true, "Rechte gesetzt: /Library/Caches/y", 0),
         {"[TavelinHelper] perform: Rechte reparieren: /Library/Caches/y"}},
        {R"({"installSystemUpdates":{}})",
         encoded(false, "Start fehlgeschlagen: No such file or directory", 0),
         {"[TavelinHelper] perform: macOS-Systemupdates installieren"}},
        {R"({"removeSystemPaths":{"_0":[]}})", encoded(true, "0 Pfade entfernt", 0),
         {"[TavelinHelper] perform: System-Pfade entfernen (0 Einträge)"}},
        {R"({"removeSystemPaths":{"_0":["/Library/Caches/a"]}})",
         encoded(false, "0 Pfade entfernt, 1 fehlgeschlagen", 0),
         {"[TavelinHelper] perform: System-Pfade entfernen (1 Einträge)"}},
    };
    for (const auto& call : calls) {
        log.clear();
        EXPECT_EQ(replies(service, call.request), std::vector<std::string>{call.reply})
            << call.request;
        EXPECT_EQ(log.lines(), call.lines) << call.request;
    }
    struct stat status {};
    ASSERT_EQ(::stat(repaired.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, 0755U);
}

TEST_F(ServiceFixture, ConcurrentUpdateRunsOnOneServiceEachGetTheirAnswer) {
    const std::string tool = scratch.tool("update", "sleep 0.2\necho 'Please shut down'\nseq 1 50000");
    const ClientFileSystem fs = fileSystem();
    CapturingLogSink log;
    HelperService service(log, fs, tool);
    std::vector<std::string> answers[3];
    std::vector<std::thread> threads;
    for (auto& answer : answers) {
        threads.emplace_back([&service, &answer] {
            answer = replies(service, R"({"installSystemUpdates":{}})");
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string expected =
        encoded(true, "Systemupdates installiert \u2013 Neustart erforderlich.", 0);
    for (const auto& answer : answers) {
        EXPECT_EQ(answer, std::vector<std::string>{expected});
    }
    EXPECT_EQ(log.lines().size(), 3U);
}

TEST_F(ServiceFixture, FailuresInsideNeverEscapeAndStillReplyOnce) {
    const ClientFileSystem fs = fileSystem();
    {
        // The audit line cannot be written: no result exists, the answer is empty.
        ThrowingLogSink log;
        HelperService service(log, fs);
        EXPECT_EQ(replies(service, R"({"installSystemUpdates":{}})"),
                  std::vector<std::string>{""});
        // Undecodable requests never reach the log, so they are answered as usual.
        EXPECT_EQ(replies(service, "{}"),
                  std::vector<std::string>{encoded(false, "Ungültige Operation", 0)});
    }
    {
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
}

}  // namespace
}  // namespace tavelin
