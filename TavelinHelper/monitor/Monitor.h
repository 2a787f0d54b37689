#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "TavelinHelper/monitor/PrivilegedOperations.h"
#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/process/PeerProcess.h"

namespace tavelin {

// The root side of the channel: the one dispatch point through which the front reaches
// anything privileged. It takes fixed-layout requests only (no JSON, frame, certificate or
// requirement parser runs here), checks each against the channel's rule table before its
// handler runs, accepts the connections from the daemon's listening socket itself (the
// front never hands it one), looks at their peers for admission, and runs an operation
// only for a peer it accepted, judging the paths again through the operations. It also
// logs the front's refusal lines, which only it can send to the journal with their peer.
class Monitor {
  public:
    // At most this many peers accepted for one front (its own connection limit plus the
    // admissions under way); beyond it acceptPeer answers EMFILE and accepts nothing.
    static constexpr std::size_t maxOpenPeers = 20000;
    // At most this many operations running for one front; the front keeps well below
    // (it queues), so a front that exceeds it is treated as broken.
    static constexpr std::size_t maxRunningOperations = 128;
    // Threads kept waiting for the next request once their operation ended; more are made
    // when more operations run at once.
    static constexpr std::size_t maxIdleOperationThreads = 8;
    // Under socket activation the daemon ends after this long with no connection and no
    // operation, so that an idle machine holds no root process and an upgraded binary
    // takes over; the service manager starts it again for the next connection.
    static constexpr std::chrono::seconds idleExit{60};

    // How serve() ended: the front closed the channel, or the daemon had nothing to do
    // for the idle limit.
    enum class Ended { frontClosed, idle };

    // How a connection's peer is recorded (peerProcessOfSocket; tests put a failing one
    // in its place).
    using PeerLookup = std::optional<PeerProcess> (*)(int socketFd);

    // `listeningSocket`: the daemon's listening socket, the only place peers come from
    // (made non-blocking here; the front shares it to learn when someone waits).
    // `idleLimit`: none, or how long serve() waits with nothing to do before it ends.
    // `trust`: what a peer's code is examined against. All references must outlive the
    // monitor, and the socket too.
    Monitor(LogSink& log, PrivilegedOperations& operations, const CodeTrust& trust,
            int listeningSocket, PeerLookup lookUpPeer = &peerProcessOfSocket,
            std::optional<std::chrono::milliseconds> idleLimit = std::nullopt);

    // Serves one front's end of the channel until the front closes it or breaks its rules
    // (a malformed datagram, a request the rule table refuses: an unknown peer handle, an
    // operation for a peer never looked at, a stray descriptor; too many operations);
    // waits for every operation it started before returning. With an idle limit it also
    // ends when, for that long, no peer was open, no operation ran, no request came and
    // nobody waited on the listening socket (a connection arriving after that stays in
    // the socket's backlog for the next start). Logs why it stopped when the front broke
    // the rules; returns that reason, or how it ended.
    [[nodiscard]] Expected<Ended, SystemError> serve(int channelFd);

  private:
    class Session;

    LogSink& log_;
    PrivilegedOperations& operations_;
    const CodeTrust& trust_;
    PeerLookup lookUpPeer_;
    int listening_;
    std::optional<std::chrono::milliseconds> idleLimit_;
};

}  // namespace tavelin
