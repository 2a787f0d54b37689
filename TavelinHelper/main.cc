// tavelin-helper: the privileged daemon. No command line, no configuration file and no
// environment variable but the service manager's socket-activation protocol: the service
// name, the trust anchor and the path lists are compiled in.

#include <signal.h>

#include <string>
#include <variant>

#include "ClientFileSystem.h"
#include "ClientVerification.h"
#include "HelperListenerDelegate.h"
#include "Listener.h"
#include "LogSink.h"
#include "SenderPidfd.h"
#include "SocketActivation.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "UnixSocket.h"

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
std::variant<UniqueFd, SystemError> listeningSocket() {
    auto activated = takeActivatedSocket();
    if (auto* socket = std::get_if<UniqueFd>(&activated)) {
        return std::move(*socket);
    }
    if (auto* error = std::get_if<SystemError>(&activated)) {
        return std::move(*error);
    }
    return listenOnAbstractName(PrivilegedHelperInfo::machServiceName);
}

std::string describe(const SystemError& error) {
    return error.context + ": " + error.text();
}

}  // namespace

int main() {
    ignoreSigpipe();
    StderrLogSink log;

    auto fileSystem = ClientFileSystem::open("/");
    if (!fileSystem) {
        return startFailure(log, describe(fileSystem.error()));
    }
    auto anchor = loadPlatformTrustAnchor();
    if (!anchor) {
        return startFailure(log, anchor.error().message);
    }
    if (auto error = checkSenderPidfdSupport()) {
        return startFailure(log, describe(*error) + " (Linux 6.5 or later is needed)");
    }
    auto socket = listeningSocket();
    if (auto* error = std::get_if<SystemError>(&socket)) {
        return startFailure(log, describe(*error));
    }

    HelperListenerDelegate delegate(log, fileSystem.value(), anchor.value());
    Listener listener(std::get<UniqueFd>(std::move(socket)), delegate);
    log.log("[TavelinHelper] gestartet, Service: " +
            std::string(PrivilegedHelperInfo::machServiceName));
    listener.run();  // serves for ever; nothing ever stops it
    return 0;
}
