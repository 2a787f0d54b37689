// tavelin-helper: the privileged daemon. No command line, no configuration file and no
// environment variable but the service manager's socket-activation protocol: the service
// name, the trust anchor and the path lists are compiled in.

#include <signal.h>

#include <string>

#include "ClientAuthorization.h"
#include "ClientFileSystem.h"
#include "HelperListenerDelegate.h"
#include "Listener.h"
#include "LogSink.h"
#include "PlatformTrustAnchor.h"
#include "SenderPidfd.h"
#include "SocketActivation.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "UnixSocket.h"
#include "UpdateInstallation.h"

namespace {

using namespace tavelin;

// Start-up cannot go on: say why on stderr (the journal) and end with status 1, so the
// service manager sees the failure instead of a daemon that silently serves nobody.
int startFailure(LogSink& log, const std::string& what) {
    log.log("[TavelinHelper] Start fehlgeschlagen: " + what);
    return 1;
}

// A client that vanishes mid-reply must never end the daemon. Every send already uses
// MSG_NOSIGNAL; this is the second line of defence.
void ignoreSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

// The socket the service manager handed over, else our own bound to the service name.
Expected<UniqueFd, SystemError> listeningSocket() {
    auto activated = takeActivatedSocket();
    if (!activated) {
        return Unexpected(std::move(activated).error());
    }
    if (*activated) {
        return std::move(**activated);
    }
    return listenOnAbstractName(PrivilegedHelperInfo::machServiceName);
}

}  // namespace

int main() {
    // Before any thread exists: the update tool inherits the mask, which cannot be given
    // to it alone.
    applyUpdateToolUmask();
    ignoreSigpipe();
    StderrLogSink log;

    auto fileSystem = ClientFileSystem::open("/");
    if (!fileSystem) {
        return startFailure(log, fileSystem.error().describe());
    }
    auto anchor = loadPlatformTrustAnchor();
    if (!anchor) {
        return startFailure(log, anchor.error().message);
    }
    // A constant, so parsed once: a requirement that does not parse stops the start rather
    // than refusing every client with code 2.
    auto requirement = parseClientCodeRequirement();
    if (!requirement) {
        return startFailure(log, "Code-Requirement: " + requirement.error().message);
    }
    if (auto supported = checkSenderPidfdSupport(); !supported) {
        return startFailure(log, supported.error().describe() + " (Linux 6.5 or later is needed)");
    }
    auto socket = listeningSocket();
    if (!socket) {
        return startFailure(log, socket.error().describe());
    }

    // One for the whole daemon, so update runs from different connections take turns.
    UpdateInstaller updates;
    HelperListenerDelegate delegate(log, *fileSystem, *anchor, *requirement, updates);
    Listener listener(std::move(socket).value(), delegate);
    log.log("[TavelinHelper] gestartet, Service: " +
            std::string(PrivilegedHelperInfo::machServiceName));
    listener.run();  // serves for ever; nothing ever stops it
    return 0;
}
