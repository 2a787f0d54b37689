#pragma once

#include <chrono>
#include <cstddef>

// What the front lets any client hold, each limit enforced where it is named
// (docs/protocol.md lists them). A limit reached is a paused read, a queued call, a
// connection left in the kernel's backlog or a closed connection; never an abort.
namespace tavelin::front {

// Open connections of all users together; beyond it the front stops accepting and new
// connections wait in the listening socket's backlog.
inline constexpr std::size_t maxConnections = 16384;
// Open connections of one user (uid); a further one is closed at once.
inline constexpr std::size_t maxConnectionsPerUser = 8192;
// Admissions under way (waiting for the monitor or hashing); beyond it accepting pauses.
inline constexpr std::size_t maxAdmissionsInFlight = 256;
// Request bytes held in memory (received, not yet answered) for all users, and for one;
// beyond either the front stops reading the connections concerned until bytes are freed.
inline constexpr std::size_t maxBufferedBytes = std::size_t{96} * 1024 * 1024;
inline constexpr std::size_t maxBufferedBytesPerUser = std::size_t{32} * 1024 * 1024;
// A frame begun must be complete within this time, or its connection is closed.
inline constexpr std::chrono::seconds partialFrameDeadline{10};
// Operations waiting for the monitor, of all users and of one; further calls wait their
// turn in the front (their connections unread meanwhile).
inline constexpr std::size_t maxOperationsInFlight = 64;
inline constexpr std::size_t maxOperationsInFlightPerUser = 16;
// Threads for admission (hashing executables) and decoding long requests.
inline constexpr std::size_t workThreads = 4;
// Requests up to this size are decoded on the loop thread (a few microseconds); longer
// ones on a work thread, so that no request holds up the others.
inline constexpr std::size_t inlineDecodeLimit = std::size_t{16} * 1024;
// The most bytes taken from a socket at once.
inline constexpr std::size_t receiveChunkSize = std::size_t{64} * 1024;

}  // namespace tavelin::front
