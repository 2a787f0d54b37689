#include "TavelinHelper/front/FrontServer.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin {

FrontServer::FrontServer(UniqueFd listeningSocket, MonitorClient& monitor, FrontDelegate& delegate,
                         FrontLimits limits, SenderIdentification senders)
    : limits_(limits),
      budget_(limits),
      listening_(std::move(listeningSocket)),
      monitor_(monitor),
      delegate_(delegate),
      senders_(senders),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      pool_(front::workPool) {}

FrontServer::~FrontServer() {
    // Admissions waiting for the monitor would wait for ever once the loop is gone.
    monitor_.abandon();
    // The calls it failed on the loop's thread are answered (with nothing) as they would
    // have been while the loop ran.
    deliverCompleted();
    collectGarbage();
}

void FrontServer::stop() {
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter would overflow, far beyond one.
    static_cast<void>(!::write(stopEvent_.get(), &one, sizeof one));
}

Status<SystemError> FrontServer::setUp() {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!epoll_ || !timer_ || !stopEvent_ || mailbox_.descriptor() < 0) {
        return lastSystemError("front set-up");
    }
    // The deadline of a frame is checked once a second: a frame may take up to a second
    // longer than its deadline before its connection is closed.
    const itimerspec tick{{1, 0}, {1, 0}};
    if (::timerfd_settime(timer_.get(), 0, &tick, nullptr) != 0) {
        return lastSystemError("timerfd_settime");
    }
    receiveBuffer_.resize(front::receiveChunkSize);
    for (const auto& [fd, key] :
         {std::pair{mailbox_.descriptor(), mailboxKey},
          std::pair{monitor_.descriptor(), monitorKey}, std::pair{timer_.get(), timerKey},
          std::pair{stopEvent_.get(), stopKey}}) {
        if (auto watched = watch(fd, key, EPOLLIN); !watched) {
            return watched;
        }
    }
    // Watched only to learn that someone waits: the monitor accepts.
    if (auto watched = watch(listening_.get(), listeningKey, EPOLLIN); !watched) {
        return watched;
    }
    accepting_ = true;
    return {};
}

Status<SystemError> FrontServer::run() {
    loopThread_ = std::this_thread::get_id();
    if (auto ready = setUp(); !ready) {
        return ready;
    }
    std::array<epoll_event, 256> events{};
    while (!stopped_) {
        const int count = retryOnInterrupt(
            [&] { return ::epoll_wait(epoll_.get(), events.data(), events.size(), -1); });
        if (count < 0) {
            return lastSystemError("epoll_wait");
        }
        for (int index = 0; index < count && !stopped_; ++index) {
            auto handled = handleEvent(events[index].data.u64, events[index].events);
            settle();
            if (!handled) {
                return handled;
            }
        }
    }
    return {};
}

// After an event's handlers: the replies they gave are delivered, the connections they closed
// are freed, and what that freed (an operation slot, budget) goes to those waiting. A reply
// delivered may start the next call, and a slot given may start a waiting one, each of whose
// replies may be given at once: so round again until none waits.
void FrontServer::settle() {
    do {
        deliverCompleted();
        collectGarbage();
        resumeWaiting();
    } while (!completed_.empty());
}

Status<SystemError> FrontServer::handleEvent(std::uint64_t key, std::uint32_t events) {
    switch (key) {
        case listeningKey:
            requestAccept();
            return {};
        case mailboxKey:
            mailbox_.runPosted();
            return {};
        case monitorKey:
            return monitor_.receiveReply();
        case timerKey: {
            std::uint64_t expirations = 0;
            // Only clears the readiness: the deadlines are checked whatever it read.
            static_cast<void>(!::read(timer_.get(), &expirations, sizeof expirations));
            checkDeadlines();
            acceptPaused_ = false;  // a pause for want of descriptors ends here
            updateListening();
            return {};
        }
        case stopKey:
            stopped_ = true;
            return {};
        default:
            break;
    }
    Connection* connection = findOpen(key);
    if (connection == nullptr) {
        return {};
    }
    try {
        if ((events & EPOLLOUT) != 0) {
            flushOutput(*connection);
            if (connection->output.empty() && connection->stage == Connection::Stage::serving) {
                startCalls(*connection);
            }
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            readFrom(*connection);
        }
    } catch (const std::exception&) {
        // Out of memory while serving this connection: it ends, the others go on.
        markClosed(*connection, ConnectionEnd::transportError);
    }
    return {};
}

FrontServer::Connection* FrontServer::findOpen(std::uint64_t id) {
    const auto found = connections_.find(id);
    return found == connections_.end() || found->second->closed ? nullptr : found->second.get();
}

void FrontServer::markClosed(Connection& connection, std::optional<ConnectionEnd> end) noexcept {
    if (connection.closed) {
        return;  // the first reason stands
    }
    connection.closed = true;
    connection.end = end;
    (closedTail_ != nullptr ? closedTail_->nextClosed : closedHead_) = &connection;
    closedTail_ = &connection;
}

// The one place a connection is freed: after the handlers of an event, none of which
// holds it any longer.
void FrontServer::collectGarbage() {
    if (closedHead_ == nullptr) {
        return;
    }
    while (closedHead_ != nullptr) {
        Connection& connection = *closedHead_;
        closedHead_ = connection.nextClosed;
        freeConnection(connection);
    }
    closedTail_ = nullptr;
    updateListening();
}

void FrontServer::freeConnection(Connection& connection) noexcept {
    const std::uint64_t id = connection.id;
    static_cast<void>(::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, connection.socket.get(), nullptr));
    connection.socket.reset();
    budget_.recharge(connection.uid, connection.charged, 0);
    budget_.releaseConnection(connection.uid);
    partialFrames_.erase(id);
    try {
        if (connection.end && connection.stage == Connection::Stage::serving) {
            delegate_.connectionEnded(LogPeer{connection.pid, connection.uid}, *connection.end);
        }
        if (connection.peerHandle != 0) {
            static_cast<void>(monitor_.notify(channel::ReleasePeer{connection.peerHandle}));
        }
    } catch (...) {
        // Out of memory for a log line or the release: the connection is freed all the same.
    }
    connections_.erase(id);
}

void FrontServer::checkDeadlines() {
    const Clock::time_point now = Clock::now();
    for (const std::uint64_t id : partialFrames_) {
        Connection* connection = findOpen(id);
        if (connection != nullptr && connection->frameBegun &&
            now - *connection->frameBegun > limits_.partialFrameDeadline) {
            markClosed(*connection, ConnectionEnd::frameTimeout);
        }
    }
}

Status<SystemError> FrontServer::watch(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return lastSystemError("epoll_ctl");
    }
    return {};
}

}  // namespace tavelin
