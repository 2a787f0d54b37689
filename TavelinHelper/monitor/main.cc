// tavelin-helper: the privileged daemon's root monitor. No configuration file and no
// environment variable but the service manager's socket-activation protocol: the service
// name, the trust anchor and the path lists are compiled in.
//
// It takes the listening socket (handed over, or its own bound to the service name), then
// starts the unprivileged front (tavelin-helper-front, beside this program) on it and
// serves the front's typed requests. Every byte a client sends is read by the front; this
// process acts only on fixed-layout requests and judges each again itself.

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TavelinHelper/common/DeveloperAccount.h"
#include "TavelinHelper/monitor/Capabilities.h"
#include "TavelinHelper/monitor/FrontProcess.h"
#include "TavelinHelper/monitor/FrontRestarts.h"
#include "TavelinHelper/monitor/Monitor.h"
#include "TavelinHelper/monitor/PlatformTrustAnchor.h"
#include "TavelinHelper/monitor/PrivilegedOperations.h"
#include "TavelinHelper/monitor/TrustAnchorFile.h"
#include "TavelinHelper/monitor/UpdateInstallation.h"
#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/core/AddressSpace.h"
#include "TavelinPlatform/core/IgnoreSigpipe.h"
#include "TavelinPlatform/core/JournalStream.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/ipc/SenderPidfd.h"
#include "TavelinPlatform/ipc/SocketActivation.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/journal/JournalLogSink.h"
#include "TavelinShared/PathLayout.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace {

using namespace tavelin;
using Clock = FrontRestarts::Clock;

// Start-up cannot go on: say why on stderr (the journal) and end with status 1, so the
// service manager sees the failure instead of a daemon that silently serves nobody.
int startFailure(LogSink& log, const std::string& what) {
    log.log(LogPriority::error, "[TavelinHelper] Start fehlgeschlagen: " + what);
    return 1;
}

// The group the installed client is set-group-id to, when a packaging build names one
// (TAVELIN_CLIENT_GROUP): the daemon then admits only peers with it as their effective
// group. A member of the group could start anything with it, so it must have none.
Expected<std::optional<gid_t>, std::string> clientGroup() {
#ifdef TAVELIN_CLIENT_GROUP
    const std::string name = TAVELIN_CLIENT_GROUP;
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(std::size_t{64} * 1024);
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return Unexpected("client group " + name + " unknown");
    }
    if (found->gr_mem != nullptr && found->gr_mem[0] != nullptr) {
        return Unexpected("client group " + name + " has members; it must have none");
    }
    return std::optional<gid_t>(found->gr_gid);
#else
    return std::optional<gid_t>();
#endif
}

// Where the update runner listens (TAVELIN_UPDATE_RUNNER_SOCKET, fixed when the daemon is
// built); empty: the daemon runs the update tool itself.
// NOLINTNEXTLINE(readability-redundant-string-init): empty in a development build
constexpr std::string_view updateRunnerSocket = TAVELIN_UPDATE_RUNNER_SOCKET;

// Opening another user's executable through /proc/<pid>/exe (and reading its maps and
// status) takes CAP_SYS_PTRACE; without it every such client is refused at admission.
// Said once at start, so that a refusal has its reason in the log.
void reportMissingCapabilities(LogSink& log) {
    if (!holdsCapability(CAP_SYS_PTRACE)) {
        log.log(
            "[TavelinHelper] Ohne CAP_SYS_PTRACE: Clients anderer Benutzer werden abgelehnt "
            "(ihr Programm ist \u00fcber /proc nicht zu \u00f6ffnen)");
    }
    // Only root opens a client's code through map_files; without either capability it goes
    // by the mapping's path, which a hidden folder (ProtectHome=, a container's mounts)
    // does not lead to.
    if (::geteuid() == 0 && !holdsCapability(CAP_CHECKPOINT_RESTORE) &&
        !holdsCapability(CAP_SYS_ADMIN)) {
        log.log(
            "[TavelinHelper] Ohne CAP_CHECKPOINT_RESTORE: der Code der Clients wird \u00fcber "
            "seinen Pfad gepr\u00fcft; Clients in Ordnern, die der Dienst nicht sieht, werden "
            "abgelehnt");
    }
}

// The monitor holds a pidfd and a /proc directory for every opened peer: as many
// descriptors as the hard limit allows, up to what the front's connection limit needs.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2 * Monitor::maxOpenPeers + 1024);
        static_cast<void>(::setrlimit(RLIMIT_NOFILE, &limit));
    }
}

// The socket the daemon listens on, and whether the service manager handed it over.
struct ListeningSocket {
    UniqueFd socket;
    bool activated = false;
};

Expected<ListeningSocket, SystemError> listeningSocket() {
    auto activated = takeActivatedSocket();
    if (!activated) {
        return Unexpected(std::move(activated).error());
    }
    if (*activated) {
        return ListeningSocket{std::move(**activated), true};
    }
    auto bound = listenOnAbstractName(PrivilegedHelperInfo::machServiceName);
    if (!bound) {
        return Unexpected(std::move(bound).error());
    }
    return ListeningSocket{std::move(bound).value(), false};
}

// How long the daemon waits with nothing to do before it ends: only when its socket was
// handed over, since the service manager then starts it again for the next connection;
// one bound by hand would be gone. Tests build a daemon with a shorter limit.
std::optional<std::chrono::milliseconds> idleLimit(bool activated) {
    if (!activated) {
        return std::nullopt;
    }
#ifdef TAVELIN_IDLE_EXIT_MS
    return std::chrono::milliseconds(TAVELIN_IDLE_EXIT_MS);
#else
    return Monitor::idleExit;
#endif
}

std::string howItEnded(const Expected<ChildTermination, SystemError>& ended) {
    if (!ended) {
        return ended.error().describe();
    }
    return (ended->signaled ? "Signal " : "Status ") + std::to_string(ended->code);
}

// A front that could not be started for want of a resource (descriptors, memory, the
// system's tasks) may start on a later try. Any other failure, its executable refused by
// exec say, is met again at every try with the same file: the daemon ends as it would at
// start-up, and the service manager shows why.
bool mayStartLater(const SystemError& error) {
    return error.errorNumber == EAGAIN || error.errorNumber == ENOMEM ||
           error.errorNumber == EMFILE || error.errorNumber == ENFILE ||
           error.errorNumber == ENOBUFS;
}

// How one front's run ended: the front ended (how), or the daemon was idle for its limit.
struct FrontRun {
    std::string frontEnded;
    bool idle = false;
};

// One front from its start to its end: how it ended, or why it could not be started.
Expected<FrontRun, SystemError> runFront(Monitor& monitor, const FrontLaunch& launch, int listening,
                                         int anchorFile) {
    auto channel = channel::makeChannelPair();
    if (!channel) {
        return Unexpected(std::move(channel).error());
    }
    auto front = startFront(launch, listening, channel->frontEnd.get(), anchorFile);
    if (!front) {
        return Unexpected(std::move(front).error());
    }
    channel->frontEnd.reset();
    const auto served = monitor.serve(channel->monitorEnd.get());
    // Whatever the front does now, it is done: a front that closed its channel but lives on
    // is ended here.
    ::kill(front->pid(), SIGKILL);
    return FrontRun{howItEnded(front->wait()), served && *served == Monitor::Ended::idle};
}

// Runs fronts one after another, on the same listening socket, waiting before a restart
// when they keep ending (FrontRestarts); returns when the daemon was idle for its limit (0),
// or when a front cannot be started and never will be.
int superviseFronts(LogSink& log, Monitor& monitor, const FrontLaunch& launch, int listening,
                    int anchorFile) {
    FrontRestarts restarts;
    for (;;) {
        const Clock::time_point started = Clock::now();
        const auto ended = runFront(monitor, launch, listening, anchorFile);
        if (!ended && !mayStartLater(ended.error())) {
            return startFailure(log, ended.error().describe());
        }
        if (ended && ended->idle) {
            log.log("[TavelinHelper] beendet: ohne Verbindung und ohne Arbeit");
            return 0;
        }
        const std::chrono::seconds delay = restarts.delayAfter(started, Clock::now());
        const std::string what = ended ? "Front beendet (" + ended->frontEnded + ")"
                                       : "Front nicht gestartet (" + ended.error().describe() + ")";
        if (delay == std::chrono::seconds(0)) {
            log.log(LogPriority::error, "[TavelinHelper] " + what + ", wird neu gestartet");
            continue;
        }
        log.log(LogPriority::error, "[TavelinHelper] " + what +
                                        ", zu oft in kurzer Zeit; neuer Start in " +
                                        std::to_string(delay.count()) + " s");
        std::this_thread::sleep_for(delay);
    }
}

// The value of JOURNAL_STREAM when it names our stderr (the journal is then our log), else
// null. Allocates nothing, so that the last failure line can ask too.
const char* journalStream() noexcept {
    const char* value = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr && stderrIsJournalStream(value) ? value : nullptr;
}

int runDaemon() {
    reserveModestAddressSpace();
    ignoreSigpipe();
    raiseDescriptorLimit();
    applyUpdateToolUmask();
    // Read before any thread starts; the front learns it through its environment.
    const char* journal = journalStream();
    const std::unique_ptr<LogSink> daemonSink = daemonLogSink(journal, "tavelin-helper");
    LogSink& log = *daemonSink;

    auto fileSystem = ClientFileSystem::open("/");
    if (!fileSystem) {
        return startFailure(log, fileSystem.error().describe());
    }
    // The front reads the anchor; we only open it, so no certificate parser runs as root.
    const auto anchorFile = openTrustAnchor(platformTrustAnchorPath(), developerAccount());
    if (!anchorFile) {
        return startFailure(log, anchorFile.error());
    }
    auto executable = openFrontExecutable();
    if (!executable) {
        return startFailure(log, executable.error().describe());
    }
    auto launch = prepareFrontLaunch(std::move(executable).value());
    if (!launch) {
        return startFailure(log, launch.error().describe());
    }
    launch->journalStream = journal != nullptr ? journal : "";
    const auto senders = senderIdentificationOfKernel();
    if (!senders) {
        return startFailure(log, senders.error().describe() + " (Linux 5.3 or later is needed)");
    }
    auto socket = listeningSocket();
    if (!socket) {
        return startFailure(log, socket.error().describe());
    }

    const auto group = clientGroup();
    if (!group) {
        return startFailure(log, group.error());
    }
    auto trust = CodeTrust::ofThisProcess(developerAccount(), *group);
    if (!trust) {
        return startFailure(log, trust.error().describe());
    }

    const auto authorization = systemAuthorization(log);
    const auto updates = updateRunnerSocket.empty()
                             ? std::make_unique<UpdateInstaller>()
                             : std::make_unique<UpdateInstaller>(
                                   UpdateInstaller::ThroughRunner{std::string(updateRunnerSocket)});
    PrivilegedOperations operations(log, *fileSystem, *updates, *authorization);
    Monitor monitor(log, operations, *trust, socket->socket.get(), &peerProcessOfSocket,
                    idleLimit(socket->activated));
    if (*senders == SenderIdentification::credentials) {
        log.log(
            "[TavelinHelper] Eingeschr\u00e4nkter Modus: Kernel ohne SO_PEERPIDFD/SO_PASSPIDFD, "
            "Clients per pidfd_open und SCM_CREDENTIALS gepr\u00fcft");
    }
    reportMissingCapabilities(log);
    // The name it really listens on: a socket handed over may be bound to another.
    const std::string listeningName = listeningNameOf(socket->socket.get());
    log.log("[TavelinHelper] gestartet, Service: " +
            (listeningName.empty() ? std::string(PrivilegedHelperInfo::machServiceName)
                                   : listeningName));
    return superviseFronts(log, monitor, *launch, socket->socket.get(), anchorFile->get());
}

constexpr std::string_view usage =
    "usage: tavelin-helper [--help | --version]\n"
    "\n"
    "The Tavelin privileged helper daemon. Started by its socket unit (socket activation)\n"
    "or by hand as root, without arguments: it then binds de.morvane.Tavelin.helper itself.\n"
    "It has no configuration. Its manual page, tavelin-helper(8), describes it and its\n"
    "installation.\n";

// Arguments are only ever asked for by a person: answers and the exit status then, or
// nothing when the daemon is to run.
std::optional<int> answerArguments(int argc, char** argv) {
    if (argc <= 1) {
        return std::nullopt;
    }
    const std::string_view argument(argv[1]);
    if (argc == 2 && argument == "--version") {
        // The layout too: the folders the daemon acts in depend on it.
        static_cast<void>(std::printf("tavelin-helper %.*s (path layout: %.*s)\n",
                                      static_cast<int>(PrivilegedHelperInfo::version.size()),
                                      PrivilegedHelperInfo::version.data(),
                                      static_cast<int>(PathLayout::name.size()),
                                      PathLayout::name.data()));
        return 0;
    }
    if (argc == 2 && (argument == "--help" || argument == "-h")) {
        static_cast<void>(std::fwrite(usage.data(), 1, usage.size(), stdout));
        return 0;
    }
    static_cast<void>(std::fprintf(stderr, "tavelin-helper: unknown argument \"%s\"\n", argv[1]));
    static_cast<void>(std::fwrite(usage.data(), 1, usage.size(), stderr));
    return 64;  // EX_USAGE
}

}  // namespace

// Nothing below is meant to throw; should the monitor still run out of memory, the service
// manager sees a failed service with its reason rather than an abort.
int main(int argc, char** argv) {
    try {
        if (const auto answered = answerArguments(argc, argv)) {
            return std::fflush(stdout) == 0 ? *answered : 1;
        }
        return runDaemon();
    } catch (const std::exception& failure) {
        static_cast<void>(std::fprintf(stderr, "%s[TavelinHelper] Fehler: %s; der Dienst endet\n",
                                       journalStream() != nullptr ? "<3>" : "", failure.what()));
        return 1;
    }
}
