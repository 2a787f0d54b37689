#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "PeerProcess.h"
#include "ServerConnection.h"
#include "TavelinShared/PrivilegedHelperProtocol.h"
#include "UniqueFd.h"

namespace tavelin {

// Decides, for each accepted connection, whether its peer may talk to us, and hears how
// each admitted connection ended.
class ListenerDelegate {
  public:
    virtual ~ListenerDelegate() = default;

    // Called on a worker thread for every accepted connection, before a single byte of it
    // has been read; several calls may run at once. `peer` is the process recorded at
    // accept time, or null when no record could be taken (the peer's credentials or pidfd
    // could not be read); `pid` is its process id as SO_PEERCRED reports it (0 when even
    // that failed). Returns the service that answers this connection's calls (it lives as
    // long as the connection), or nullptr to refuse it: the connection is then closed
    // unread. Logging a refusal is the delegate's business.
    [[nodiscard]] virtual std::unique_ptr<PrivilegedHelperProtocol> shouldAcceptNewConnection(
        const PeerProcess* peer, pid_t pid) = 0;

    // Called on the worker once an admitted connection has ended, with how it ended.
    virtual void connectionEnded(pid_t pid, ConnectionEnd end) = 0;
};

// How the listener records the peer of an accepted connection (peerProcessOfSocket;
// tests put a failing one in its place).
using PeerLookup = std::optional<PeerProcess> (*)(int socketFd);

// Accepts connections on a listening socket and serves each on one of a fixed number of
// worker threads, from admission to close.
//
// The number of threads never grows: while every worker is busy, the listener stops
// accepting and further connections wait in the kernel's backlog (their connect() has
// succeeded; they simply see the HELLO later). A flood of connections therefore costs
// kernel queue space, not threads or memory of ours.
//
// Per connection, on its worker: enable per-chunk sender pidfds, record the peer (pidfd +
// credentials), ask the delegate, then ServerConnection::serve(), and tell the delegate
// how the connection ended.
//
// A worker stays with its connection until the client closes it, including the idle time
// between calls: 64 admitted clients that connect and then sit still keep everyone else
// waiting in the backlog. Only admitted (signed) code can do that.
class Listener {
  public:
    static constexpr std::size_t defaultWorkerCount = 64;

    // `listeningSocket`: a listening AF_UNIX stream socket (blocking is fine). The delegate
    // must outlive the listener.
    Listener(UniqueFd listeningSocket, ListenerDelegate& delegate,
             std::size_t workerCount = defaultWorkerCount,
             PeerLookup lookUpPeer = &peerProcessOfSocket);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    // Calls stop(). Precondition: run() is not running (it was never called, or it has
    // returned); the owner of the thread that runs it joins that thread first.
    ~Listener();

    // Starts the workers and accepts connections until stop(); then stops accepting, ends
    // the connections still open (their in-flight calls finish first) and joins every
    // worker before returning. Call from one thread, once.
    void run();

    // Makes run() return; safe from any thread, any number of times.
    void stop();

  private:
    [[nodiscard]] bool waitForFreeWorker();
    // Waits until the listening socket is readable; false once stop() was called.
    [[nodiscard]] bool waitForConnection();
    void acceptOne();
    void workerLoop();
    void serveConnection(int connectionFd);

    UniqueFd listeningSocket_;
    UniqueFd stopEvent_;  // an eventfd, readable once stop() was called
    ListenerDelegate& delegate_;
    std::size_t workerCount_;
    PeerLookup lookUpPeer_;

    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable workerFreed_;
    std::deque<UniqueFd> pending_;  // accepted, not yet picked up by a worker
    std::set<int> active_;          // sockets being served, for shutdown on stop()
    std::size_t busy_ = 0;          // pending + active
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace tavelin
