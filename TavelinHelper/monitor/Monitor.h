#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "ChannelMessages.h"
#include "ChannelSocket.h"
#include "LogSink.h"
#include "PeerProcess.h"
#include "PrivilegedOperations.h"

namespace tavelin {

// The root side of the channel: the one dispatch point through which the front reaches
// anything privileged. It takes fixed-layout requests only (no JSON, frame, certificate or
// requirement parser runs here), looks at peers for admission, and runs an operation only
// for a peer it opened itself, judging the paths again through the operations. It also
// logs the front's refusal lines, which only it can send to the journal with their peer.
class Monitor {
  public:
    // At most this many peers opened for one front (its own connection limit plus the
    // admissions under way); beyond it openPeer answers EMFILE.
    static constexpr std::size_t maxOpenPeers = 20000;
    // At most this many operations running for one front; the front keeps well below
    // (it queues), so a front that exceeds it is treated as broken.
    static constexpr std::size_t maxRunningOperations = 128;
    // Threads kept for the next operation once idle; more are made when more run at once.
    static constexpr std::size_t maxIdleOperationThreads = 8;

    // How a connection's peer is recorded (peerProcessOfSocket; tests put a failing one
    // in its place).
    using PeerLookup = std::optional<PeerProcess> (*)(int socketFd);

    // `listeningSocket`: the daemon's listening socket; a connection the front presents
    // must be one accepted from it (same local address). `trust`: what a peer's code is
    // examined against. All references must outlive the monitor.
    Monitor(LogSink& log, PrivilegedOperations& operations, const CodeTrust& trust,
            int listeningSocket, PeerLookup lookUpPeer = &peerProcessOfSocket);

    // Serves one front's end of the channel until the front closes it or breaks its rules
    // (a malformed datagram, an unknown peer handle, too many operations); waits for every
    // operation it started before returning. Logs why it stopped when the front broke the
    // rules; returns that reason, or success when the front simply closed the channel.
    [[nodiscard]] Status<SystemError> serve(int channelFd);

  private:
    class Session;

    LogSink& log_;
    PrivilegedOperations& operations_;
    const CodeTrust& trust_;
    PeerLookup lookUpPeer_;
    sockaddr_un listeningAddress_{};
    socklen_t listeningAddressLength_ = 0;
};

}  // namespace tavelin
