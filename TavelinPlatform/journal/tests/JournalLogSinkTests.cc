#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "TavelinPlatform/journal/JournalLogSink.h"
#include "TavelinPlatform/journal/tests/JournalStandIn.h"

namespace tavelin {
namespace {

using testing::JournalEntry;
using testing::JournalStandIn;

constexpr int cannotEnterStandIn = 77;

// What JOURNAL_STREAM holds in the child.
enum class Stream { naming, otherInode, malformed, absent };

std::optional<std::string> streamValue(Stream stream) {
    const std::string own = testing::stderrJournalStream();
    switch (stream) {
        case Stream::naming:
            return own;
        case Stream::otherInode:
            return own + "1";
        case Stream::malformed:
            return own.substr(0, own.find(':') + 1);
        case Stream::absent:
            break;
    }
    return std::nullopt;
}

struct Logged {
    bool skipped = false;
    std::string stderrText;
    std::vector<JournalEntry> entries;
};

// Runs `body` with the daemon's sink in a child whose stderr is a real file, seeing the
// stand-in as the journal's socket; what it wrote to stderr and to the journal.
Logged logInChild(JournalStandIn& journal, Stream stream,
                  const std::function<void(LogSink&)>& body) {
    const std::string stderrPath = journal.directory() + "/stderr";
    const pid_t child = ::fork();
    if (child == 0) {
        const int file = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file < 0 || ::dup2(file, STDERR_FILENO) < 0 ||
            !testing::enterJournalStandIn(journal.directory()).empty()) {
            ::_exit(cannotEnterStandIn);
        }
        const auto value = streamValue(stream);
        const auto sink = daemonLogSink(value ? value->c_str() : nullptr, "tavelin-helper");
        body(*sink);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    Logged logged;
    logged.skipped = WIFEXITED(status) && WEXITSTATUS(status) == cannotEnterStandIn;
    std::ifstream written(stderrPath);
    logged.stderrText.assign(std::istreambuf_iterator<char>(written), {});
    ::unlink(stderrPath.c_str());
    logged.entries = journal.entries();
    return logged;
}

JournalEntry entry(const std::string& message, int priority, pid_t pid, uid_t uid) {
    return JournalEntry{{"MESSAGE", message},
                        {"PRIORITY", std::to_string(priority)},
                        {"SYSLOG_IDENTIFIER", "tavelin-helper"},
                        {"TAVELIN_PEER_PID", std::to_string(pid)},
                        {"TAVELIN_PEER_UID", std::to_string(uid)},
                        {"OBJECT_PID", std::to_string(pid)}};
}

TEST(JournalLogSinkTest, PrefixesPrioritiesAndSendsPeerLinesNativelyOnlyWhenStderrIsTheJournal) {
    const std::string audit = "[TavelinHelper] perform: Rechte reparieren: /x\n\u202e\\";
    const std::string auditEscaped = "[TavelinHelper] perform: Rechte reparieren: /x\\n\\u202e\\\\";
    const std::string refusal =
        "[TavelinHelper] Verbindung ABGELEHNT (Signaturpr\u00fcfung fehlgeschlagen, pid=4242)";
    const struct {
        const char* what;
        Stream stream;
        LogPriority priority;
        std::optional<LogPeer> peer;
        std::string line;
        std::string expectedStderr;
        std::vector<JournalEntry> expectedEntries;
    } cases[] = {
        {"start line",
         Stream::naming,
         LogPriority::info,
         std::nullopt,
         "[TavelinHelper] gestartet, Service: x",
         "<6>[TavelinHelper] gestartet, Service: x\n",
         {}},
        {"failure without a peer",
         Stream::naming,
         LogPriority::error,
         std::nullopt,
         "[TavelinHelper] Start fehlgeschlagen: a\nb",
         "<3>[TavelinHelper] Start fehlgeschlagen: a\\nb\n",
         {}},
        {"audit line",
         Stream::naming,
         LogPriority::notice,
         LogPeer{4242, 1001},
         audit,
         "",
         {entry(auditEscaped, 5, 4242, 1001)}},
        {"refusal line",
         Stream::naming,
         LogPriority::error,
         LogPeer{4242, 0},
         refusal,
         "",
         {entry(refusal, 3, 4242, 0)}},
        {"another file's stream",
         Stream::otherInode,
         LogPriority::error,
         LogPeer{4242, 0},
         refusal,
         refusal + "\n",
         {}},
        {"a malformed stream",
         Stream::malformed,
         LogPriority::notice,
         LogPeer{1, 2},
         audit,
         auditEscaped + "\n",
         {}},
        {"no stream",
         Stream::absent,
         LogPriority::info,
         std::nullopt,
         "[TavelinHelper] x",
         "[TavelinHelper] x\n",
         {}},
    };
    JournalStandIn journal;
    for (const auto& c : cases) {
        const Logged logged = logInChild(
            journal, c.stream, [&](LogSink& sink) { sink.log(c.priority, c.line, c.peer); });
        if (logged.skipped) {
            GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
        }
        EXPECT_EQ(logged.stderrText, c.expectedStderr) << c.what;
        EXPECT_EQ(logged.entries, c.expectedEntries) << c.what;
    }
}

TEST(JournalLogSinkTest, APeerLineTheJournalRefusesGoesToStderrWithItsPriority) {
    JournalStandIn journal;
    // A socket file nobody listens on any more: sends to it are refused.
    const std::string socketPath = journal.directory() + "/journal/socket";
    ASSERT_EQ(::unlink(socketPath.c_str()), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    UniqueFd stale(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    stale.reset();
    const Logged logged = logInChild(journal, Stream::naming, [](LogSink& sink) {
        sink.log(LogPriority::error, "[TavelinHelper] Nicht autorisiert: a", LogPeer{5, 6});
    });
    if (logged.skipped) {
        GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(logged.stderrText, "<3>[TavelinHelper] Nicht autorisiert: a\n");
}

}  // namespace
}  // namespace tavelin
