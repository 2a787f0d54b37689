// tavelin-update-runner: runs the update tool for the daemon, outside the daemon's sandbox
// (the tool needs the network, a writable system and capabilities the daemon does not
// keep). Started by tavelin-update.socket (Accept=yes) once per connection, with the
// connection as descriptor 3; no arguments, no configuration. Only root (and in a
// development build the developer) may connect; the run's protocol is in
// UpdateRunnerProtocol.h.

#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "TavelinHelper/common/DeveloperAccount.h"
#include "TavelinHelper/common/UpdateTool.h"
#include "TavelinHelper/runner/RunnerSession.h"
#include "TavelinPlatform/core/IgnoreSigpipe.h"
#include "TavelinPlatform/core/JournalStream.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/ipc/SocketActivation.h"

namespace {

using namespace tavelin;

// The tool this runner runs: the update tool, or in the runner the tests build, their
// stand-in.
std::string toolPath() {
#ifdef TAVELIN_UPDATE_TOOL_PATH
    return TAVELIN_UPDATE_TOOL_PATH;
#else
    return std::string(updateToolPath);
#endif
}

int run() {
    applyUpdateToolUmask();
    ignoreSigpipe();
    // Under its unit, stderr is the journal: each line then carries its priority.
    const char* journalStream = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
    StderrLogSink log(journalStream != nullptr && stderrIsJournalStream(journalStream));
    auto connection = takeActivatedConnection(SOCK_SEQPACKET);
    if (!connection || !*connection) {
        log.log(
            LogPriority::error,
            "[TavelinUpdateRunner] Start fehlgeschlagen: " +
                (connection ? std::string("keine Verbindung \u00fcbergeben (nur per Socket-Unit)")
                            : connection.error().describe()));
        return 1;
    }
    const int fd = (*connection)->get();
    if (!runner::peerMayRun(fd, developerAccount(), log)) {
        return 1;
    }
    return runner::runForPeer(fd, toolPath(), log);
}

}  // namespace

int main(int argc, char** /*argv*/) {
    if (argc > 1) {
        static_cast<void>(std::fputs(
            "usage: tavelin-update-runner\n"
            "Runs the update tool for tavelin-helper; started by tavelin-update.socket only.\n",
            stderr));
        return 64;  // EX_USAGE
    }
    try {
        return run();
    } catch (const std::exception& failure) {
        static_cast<void>(
            std::fprintf(stderr, "[TavelinUpdateRunner] Fehler: %s\n", failure.what()));
        return 1;
    }
}
