#pragma once

#include <string>
#include <string_view>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

// The transport of the channel between front and monitor: an AF_UNIX SOCK_SEQPACKET pair,
// so every message arrives whole and alone, with at most one descriptor beside it.
namespace tavelin::channel {

struct ChannelPair {
    UniqueFd monitorEnd;
    UniqueFd frontEnd;
};

// A fresh pair, both ends close-on-exec.
[[nodiscard]] Expected<ChannelPair, SystemError> makeChannelPair();

// One received datagram and the descriptor that came with it (invalid when none did).
struct Datagram {
    std::string bytes;
    UniqueFd descriptor;
};

// Sends `bytes` (at most maxDatagramSize) as one datagram, with `descriptor` unless it is
// negative. Retries on EINTR; blocks while the socket buffer is full unless the socket is
// non-blocking (then EAGAIN).
[[nodiscard]] Status<SystemError> sendDatagram(int socketFd, std::string_view bytes,
                                               int descriptor = -1);

// Receives one datagram, waiting for it unless `wait` is false (then EAGAIN when none is
// there). End of stream (the other side closed) is ECONNRESET. A datagram longer than
// maxDatagramSize, or one with more than one descriptor or anything else in its control
// block, fails with EBADMSG after every descriptor in it was closed.
[[nodiscard]] Expected<Datagram, SystemError> receiveDatagram(int socketFd, bool wait = true);

}  // namespace tavelin::channel
