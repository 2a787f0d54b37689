#include "TavelinHelper/runner/RunnerSession.h"

#include <sys/socket.h>

#include <cerrno>
#include <string_view>

#include "TavelinHelper/common/UpdateTool.h"
#include "TavelinHelper/runner/UpdateRunnerProtocol.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin::runner {

namespace {

// One message, whole (a SOCK_SEQPACKET send is never partial); false once the peer is gone.
bool sendFrame(int connection, const std::string& frame) {
    const ssize_t sent = retryOnInterrupt(
        [&] { return ::send(connection, frame.data(), frame.size(), MSG_NOSIGNAL); });
    return sent == static_cast<ssize_t>(frame.size());
}

// The status, or the errno of the failed start (EIO stands in for one the protocol cannot
// carry).
std::string finalFrame(const Expected<std::int32_t, SystemError>& status) {
    if (status) {
        return endedFrame(*status);
    }
    const int errorNumber = status.error().errorNumber;
    return startFailedFrame(errorNumber > 0 && errorNumber <= highestErrno ? errorNumber : EIO);
}

}  // namespace

bool peerMayRun(int connection, std::optional<uid_t> developer, LogSink& log) {
    const auto peer = peerCredentials(connection);
    if (!peer) {
        log.log(LogPriority::error, "[TavelinUpdateRunner] abgelehnt: " + peer.error().describe());
        return false;
    }
    if (peer->uid == 0 || (developer && peer->uid == *developer)) {
        return true;
    }
    log.log(LogPriority::error, "[TavelinUpdateRunner] abgelehnt: uid " +
                                    std::to_string(peer->uid) + " darf das Update nicht starten");
    return false;
}

int runForPeer(int connection, const std::string& toolPath, LogSink& log) {
    // Written on the collecting thread only, read after runUpdateTool has joined it.
    bool peerGone = false;
    const OutputConsumer forward = [&](std::string_view bytes) {
        while (!peerGone && !bytes.empty()) {
            const std::string_view chunk = bytes.substr(0, maxOutputBytes);
            peerGone = !sendFrame(connection, outputFrame(chunk));
            bytes.remove_prefix(chunk.size());
        }
    };
    const ToolRunLimits limits{updateToolTimeout, updateToolDrain, connection};
    const Expected<std::int32_t, SystemError> status = runUpdateTool(toolPath, limits, forward);
    if (!status) {
        log.log(LogPriority::error,
                "[TavelinUpdateRunner] Start fehlgeschlagen: " + status.error().describe());
    }
    const bool told = !peerGone && sendFrame(connection, finalFrame(status));
    if (!told) {
        log.log(LogPriority::error,
                "[TavelinUpdateRunner] Auftraggeber hat aufgelegt; Status nicht zugestellt");
        return 1;
    }
    return 0;
}

}  // namespace tavelin::runner
