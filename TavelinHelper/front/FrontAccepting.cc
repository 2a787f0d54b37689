// FrontServer: how connections come in. The monitor accepts them, a work thread has each
// admitted, and the loop greets the admitted ones.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "TavelinHelper/front/FrontServer.h"
#include "TavelinPlatform/process/Pidfd.h"

namespace tavelin {

namespace {

bool isResourceShortage(int errorNumber) {
    return errorNumber == EMFILE || errorNumber == ENFILE || errorNumber == ENOBUFS ||
           errorNumber == ENOMEM;
}

}  // namespace

// Someone waits on the listening socket: the monitor is asked to accept the connection
// (the front cannot; see FrontSandbox), one request at a time.
void FrontServer::requestAccept() {
    if (!acceptPending_ && budget_.hasRoomToAccept()) {
        auto sent = monitor_.send(channel::AcceptPeer{}, -1,
                                  [this](Expected<MonitorClient::Reply, SystemError> reply) {
                                      takeAccepted(std::move(reply));
                                  });
        acceptPending_ = sent.has_value();
        // A channel that broke ends the loop; until then, nothing is asked again.
        acceptPaused_ = !sent;
    }
    updateListening();
}

void FrontServer::takeAccepted(Expected<MonitorClient::Reply, SystemError> reply) {
    acceptPending_ = false;
    const auto* accepted = reply ? std::get_if<channel::PeerAccepted>(&reply->message) : nullptr;
    if (accepted != nullptr && accepted->errorNumber == 0) {
        addConnection(std::move(reply->descriptor), *accepted);
    } else if (accepted != nullptr && isResourceShortage(accepted->errorNumber)) {
        // Out of descriptors or memory: the connection stays in the backlog and the next
        // tick asks again.
        acceptPaused_ = true;
    }
    updateListening();
}

void FrontServer::addConnection(UniqueFd socket, const channel::PeerAccepted& accepted) {
    const int fd = socket.get();
    const auto pid = static_cast<pid_t>(accepted.pid);
    const auto uid = static_cast<uid_t>(accepted.uid);
    UniqueFd senderPidfd;
    bool ready = false;
    if (senders_ == SenderIdentification::credentials) {
        // Pinned now, as close to the peer's connect() as we can: see SenderIdentification.
        senderPidfd = openPidfd(pid).value_or(UniqueFd());
    }
    // Every chunk then carries its writer's pid, checked against the pinned peer's.
    ready = (senders_ == SenderIdentification::pidfds || senderPidfd) &&
            enableSenderCredentials(fd).has_value();
    const std::uint64_t id = firstConnectionId + nextId_++;
    // Over its user's limit a connection is closed at once: one user may not take every slot.
    const bool taken = ready && budget_.takeConnection(uid);
    if (!taken || !watch(fd, id, 0)) {
        if (taken) {
            budget_.releaseConnection(uid);
        }
        static_cast<void>(monitor_.notify(channel::ReleasePeer{accepted.peerHandle}));
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->id = id;
    connection->socket = std::move(socket);
    connection->pid = pid;
    connection->uid = uid;
    connection->peerHandle = accepted.peerHandle;
    connection->senderPidfd = std::move(senderPidfd);
    budget_.startAdmission();
    Connection& added = *connection;
    connections_.emplace(added.id, std::move(connection));
    admit(added);
}

// The listening socket is watched while another connection could be taken and none is
// being asked for; closing connections and finished admissions call back here.
void FrontServer::updateListening() {
    const bool wanted = budget_.hasRoomToAccept() && !acceptPending_ && !acceptPaused_;
    if (wanted != accepting_) {
        epoll_event event{};
        event.events = wanted ? std::uint32_t{EPOLLIN} : 0U;
        event.data.u64 = listeningKey;
        static_cast<void>(::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listening_.get(), &event));
        accepting_ = wanted;
    }
}

void FrontServer::admit(Connection& connection) {
    const std::uint64_t id = connection.id;
    const std::uint64_t handle = connection.peerHandle;
    const LogPeer client{connection.pid, connection.uid};
    const auto submitted = pool_.submit([this, id, handle, client] {
        MonitoredPeer peer(monitor_, handle);
        std::shared_ptr<ConnectionService> service;
        try {
            service = delegate_.shouldAcceptNewConnection(&peer, client);
        } catch (...) {
            service.reset();  // refused when admission itself could not finish
        }
        mailbox_.post([this, id, service] { finishAdmission(id, service); });
    });
    if (submitted != WorkPool::Submitted::queued) {
        // No thread to judge it on: refused, as when admission could not finish. Through the
        // mailbox like every admission's end, so that accepting is not re-entered from here.
        mailbox_.post([this, id] { finishAdmission(id, nullptr); });
    }
}

void FrontServer::finishAdmission(std::uint64_t id, std::shared_ptr<ConnectionService> service) {
    budget_.finishAdmission();
    Connection* connection = findOpen(id);
    if (connection == nullptr) {
        updateListening();
        return;
    }
    if (!service) {
        markClosed(*connection, std::nullopt);
        return;
    }
    connection->service = std::move(service);
    connection->stage = Connection::Stage::serving;
    if (senders_ == SenderIdentification::pidfds) {
        connection->senderPidfd = peerPidfdOf(connection->socket.get());
    }
    connection->sender = ProcessIdentity::of(connection->senderPidfd.get(), connection->pid);
    if (!connection->sender) {
        markClosed(*connection, ConnectionEnd::transportError);
        return;
    }
    // Anything that arrived before the HELLO was written before the peer could have read
    // it, so possibly by code that was never admitted.
    char byte = 0;
    const ssize_t early = ::recv(connection->socket.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (early >= 0) {
        markClosed(*connection,
                   early > 0 ? ConnectionEnd::bytesBeforeHello : ConnectionEnd::closedByPeer);
        return;
    }
    queueOutput(*connection, encodeHello());
    updateListening();
}

}  // namespace tavelin
