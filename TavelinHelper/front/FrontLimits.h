#pragma once

#include <chrono>
#include <cstddef>

#include "TavelinHelper/common/WorkPool.h"

namespace tavelin {

// What the front lets clients hold, each limit enforced where the front uses it
// (docs/protocol.md lists them). A limit reached is a paused read, a queued call, a
// connection left in the kernel's backlog or a closed connection; never an abort. The
// daemon uses these defaults; tests shrink them to reach the edges quickly.
struct FrontLimits {
    // Open connections of all users together; beyond it the front stops accepting and new
    // connections wait in the listening socket's backlog. Each costs two descriptors (the
    // socket and the peer's pidfd), so this fits a descriptor limit of 20,000.
    std::size_t maxConnections = 8192;
    // Open connections of one user (uid); a further one is closed at once.
    std::size_t maxConnectionsPerUser = 6144;
    // Admissions under way (waiting for the monitor or hashing); beyond it accepting pauses.
    std::size_t maxAdmissionsInFlight = 256;
    // Request and reply bytes held in memory for all users, and for one; beyond either
    // the front stops reading the connections concerned until bytes are freed.
    std::size_t maxBufferedBytes = std::size_t{96} * 1024 * 1024;
    std::size_t maxBufferedBytesPerUser = std::size_t{32} * 1024 * 1024;
    // A frame begun must be complete within this time, or its connection is closed.
    std::chrono::milliseconds partialFrameDeadline{std::chrono::seconds(10)};
    // Operations waiting for the monitor, of all users and of one; further calls wait
    // their turn in the front (their connections unread meanwhile).
    std::size_t maxOperationsInFlight = 64;
    std::size_t maxOperationsInFlightPerUser = 16;
};

namespace front {

// Threads for admission (hashing executables) and decoding long requests, started as work
// arrives. With the loop's thread they are all the threads the front has.
inline constexpr std::size_t workThreads = 4;
// Once started they stay; work beyond them waits its turn.
inline constexpr WorkPool::Limits workPool{workThreads, workThreads, WorkPool::noJobLimit};
// Requests up to this size are decoded on the loop thread (a few microseconds); longer
// ones on a work thread, so that no request holds up the others.
inline constexpr std::size_t inlineDecodeLimit = std::size_t{16} * 1024;
// The most bytes taken from a socket at once.
inline constexpr std::size_t receiveChunkSize = std::size_t{64} * 1024;

}  // namespace front

}  // namespace tavelin
