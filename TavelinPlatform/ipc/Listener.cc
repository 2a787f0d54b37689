#include "Listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>

#include "SenderPidfd.h"
#include "ServerConnection.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

// How long to pause accepting when we are out of descriptors or kernel memory; the
// waiting connection stays in the backlog meanwhile.
constexpr int resourcePauseMs = 100;

[[nodiscard]] bool isResourceShortage(int errorNumber) {
    return errorNumber == EMFILE || errorNumber == ENFILE || errorNumber == ENOBUFS ||
           errorNumber == ENOMEM;
}

}  // namespace

Listener::Listener(UniqueFd listeningSocket, ListenerDelegate& delegate, std::size_t workerCount,
                   PeerLookup lookUpPeer)
    : listeningSocket_(std::move(listeningSocket)),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      delegate_(delegate),
      workerCount_(workerCount == 0 ? 1 : workerCount),
      lookUpPeer_(lookUpPeer) {}

Listener::~Listener() {
    stop();
}

void Listener::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        // Wakes every worker blocked in recvmsg; a call already running finishes first.
        for (const int fd : active_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    const std::uint64_t one = 1;
    (void)!::write(stopEvent_.get(), &one, sizeof(one));
    workAvailable_.notify_all();
    workerFreed_.notify_all();
}

void Listener::run() {
    workers_.reserve(workerCount_);
    for (std::size_t i = 0; i < workerCount_; ++i) {
        workers_.emplace_back([this] { workerLoop(); });
    }
    while (waitForFreeWorker() && waitForConnection()) {
        acceptOne();
    }
    stop();
    for (auto& worker : workers_) {
        worker.join();
    }
    workers_.clear();
}

bool Listener::waitForFreeWorker() {
    std::unique_lock lock(mutex_);
    workerFreed_.wait(lock, [this] { return stopping_ || busy_ < workerCount_; });
    return !stopping_;
}

bool Listener::waitForConnection() {
    for (;;) {
        std::array<pollfd, 2> fds{
            {{listeningSocket_.get(), POLLIN, 0}, {stopEvent_.get(), POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || fds[1].revents != 0) {
            return false;
        }
        if (fds[0].revents != 0) {
            return true;
        }
    }
}

void Listener::acceptOne() {
    auto accepted = acceptConnection(listeningSocket_.get());
    if (!accepted) {
        if (isResourceShortage(accepted.error().errorNumber)) {
            pollfd stopFd{stopEvent_.get(), POLLIN, 0};
            (void)::poll(&stopFd, 1, resourcePauseMs);
        }
        // Anything else (ECONNABORTED: the client gave up while queued) concerns only
        // that one connection.
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        pending_.push_back(std::move(accepted).value());
        ++busy_;
    }
    workAvailable_.notify_one();
}

void Listener::workerLoop() {
    for (;;) {
        UniqueFd connection;
        {
            std::unique_lock lock(mutex_);
            workAvailable_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (pending_.empty()) {
                return;
            }
            connection = std::move(pending_.front());
            pending_.pop_front();
            if (!stopping_) {
                active_.insert(connection.get());
            }
        }
        if (connection) {
            try {
                serveConnection(connection.get());
            } catch (const std::exception&) {
                // Out of memory for one connection's frame: that connection ends, the
                // daemon goes on serving the others.
            }
        }
        {
            const std::lock_guard lock(mutex_);
            active_.erase(connection.get());
            --busy_;
        }
        connection.reset();
        workerFreed_.notify_one();
    }
}

void Listener::serveConnection(int connectionFd) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
    }
    // Before anything else, so every byte from now on arrives tagged with its writer.
    if (!enableSenderPidfds(connectionFd)) {
        return;
    }
    // A connection without a record still goes to the delegate, which refuses it and says
    // why; the pid for its refusal line then comes from the credentials alone.
    const std::optional<PeerProcess> peer = lookUpPeer_(connectionFd);
    const auto credentials = peerCredentials(connectionFd);
    const pid_t pid = peer ? peer->pid : (credentials ? credentials->pid : 0);
    const auto service = delegate_.shouldAcceptNewConnection(peer ? &*peer : nullptr, pid);
    if (!service || !peer) {
        return;
    }
    delegate_.connectionEnded(pid, ServerConnection(connectionFd, *peer, *service).serve());
}

}  // namespace tavelin
