#include "FrontServer.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

#include "FrontLimits.h"
#include "Pidfd.h"
#include "RetryOnInterrupt.h"
#include "UnixSocket.h"

namespace tavelin {

namespace {

// epoll keys of the descriptors that are not connections; connection ids start above.
constexpr std::uint64_t listeningKey = 1;
constexpr std::uint64_t mailboxKey = 2;
constexpr std::uint64_t monitorKey = 3;
constexpr std::uint64_t timerKey = 4;
constexpr std::uint64_t stopKey = 5;
constexpr std::uint64_t firstConnectionId = 16;

using Clock = std::chrono::steady_clock;

Status<SystemError> watch(int epoll, int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        return lastSystemError("epoll_ctl");
    }
    return {};
}

bool isResourceShortage(int errorNumber) {
    return errorNumber == EMFILE || errorNumber == ENFILE || errorNumber == ENOBUFS ||
           errorNumber == ENOMEM;
}

}  // namespace

struct FrontServer::Connection {
    enum class Stage { admitting, serving };

    std::uint64_t id = 0;
    UniqueFd socket;
    pid_t pid = 0;
    uid_t uid = 0;
    Stage stage = Stage::admitting;
    UniqueFd senderPidfd;
    std::optional<ProcessIdentity> sender;
    std::shared_ptr<ConnectionService> service;
    std::uint64_t peerHandle = 0;
    FrameReader reader{maxCallBody};
    std::optional<CallFrame> waitingCall;  // taken from the reader, waiting for a slot
    bool callInFlight = false;
    std::size_t argumentBytes = 0;  // of the call in flight
    std::string output;             // reply bytes not yet sent
    std::size_t charged = 0;        // bytes counted against the budgets
    bool peerClosed = false;
    bool waitingForBudget = false;
    std::optional<Clock::time_point> frameBegun;
    std::uint32_t interest = 0;  // the epoll events asked for now
};

FrontServer::FrontServer(UniqueFd listeningSocket, MonitorClient& monitor, FrontDelegate& delegate,
                         FrontLimits limits, SenderIdentification senders)
    : limits_(limits),
      listening_(std::move(listeningSocket)),
      monitor_(monitor),
      delegate_(delegate),
      senders_(senders),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      pool_(front::workPool) {}

FrontServer::~FrontServer() {
    // Admissions waiting for the monitor would wait for ever once the loop is gone.
    monitor_.abandon();
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
        if (auto watched = watch(epoll_.get(), fd, key, EPOLLIN); !watched) {
            return watched;
        }
    }
    // Watched only to learn that someone waits: the monitor accepts.
    if (auto watched = watch(epoll_.get(), listening_.get(), listeningKey, EPOLLIN); !watched) {
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
            if (auto handled = handleEvent(events[index].data.u64, events[index].events);
                !handled) {
                return handled;
            }
            // Whatever the event freed (an operation slot, budget) goes to those waiting.
            resumeWaiting();
        }
    }
    return {};
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
            return monitor_.receiveReplies();
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
    Connection* connection = find(key);
    if (connection == nullptr) {
        return {};
    }
    try {
        if ((events & EPOLLOUT) != 0) {
            flushOutput(*connection);
            if ((connection = find(key)) != nullptr && connection->output.empty() &&
                connection->stage == Connection::Stage::serving) {
                startCalls(*connection);
            }
        }
        connection = find(key);  // flushing or a call may have closed it
        if (connection != nullptr && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            readFrom(*connection);
        }
    } catch (const std::exception&) {
        // Out of memory while serving this connection: it ends, the others go on.
        if (Connection* failed = find(key)) {
            close(*failed, ConnectionEnd::transportError);
        }
    }
    return {};
}

FrontServer::Connection* FrontServer::find(std::uint64_t id) {
    const auto found = connections_.find(id);
    return found == connections_.end() ? nullptr : found->second.get();
}

// Someone waits on the listening socket: the monitor is asked to accept the connection
// (the front cannot; see FrontSandbox), one request at a time.
void FrontServer::requestAccept() {
    if (!acceptPending_ && hasRoomForConnections()) {
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
    if (senders_ == SenderIdentification::pidfds) {
        ready = enableSenderPidfds(fd).has_value();
    } else {
        // Pinned now, as close to the peer's connect() as we can: see SenderIdentification.
        senderPidfd = openPidfd(pid).value_or(UniqueFd());
        ready = senderPidfd && enableSenderCredentials(fd);
    }
    const std::uint64_t id = firstConnectionId + nextId_++;
    Usage& usage = usage_[uid];
    // Over its user's limit a connection is closed at once: one user may not take every slot.
    if (!ready || usage.connections >= limits_.maxConnectionsPerUser ||
        !watch(epoll_.get(), fd, id, 0)) {
        if (usage.connections == 0 && usage.operations == 0) {
            usage_.erase(uid);
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
    ++usage.connections;
    ++admissionsInFlight_;
    Connection& added = *connection;
    connections_.emplace(added.id, std::move(connection));
    admit(added);
}

bool FrontServer::hasRoomForConnections() const {
    return connections_.size() < limits_.maxConnections &&
           admissionsInFlight_ < limits_.maxAdmissionsInFlight;
}

// The listening socket is watched while another connection could be taken and none is
// being asked for; closing connections and finished admissions call back here.
void FrontServer::updateListening() {
    const bool wanted = hasRoomForConnections() && !acceptPending_ && !acceptPaused_;
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
    --admissionsInFlight_;
    Connection* connection = find(id);
    if (connection == nullptr) {
        updateListening();
        return;
    }
    if (!service) {
        close(*connection, std::nullopt);
        return;
    }
    connection->service = std::move(service);
    connection->stage = Connection::Stage::serving;
    if (senders_ == SenderIdentification::pidfds) {
        connection->senderPidfd = peerPidfdOf(connection->socket.get());
    }
    connection->sender = ProcessIdentity::of(connection->senderPidfd.get(), connection->pid);
    if (!connection->sender) {
        close(*connection, ConnectionEnd::transportError);
        return;
    }
    // Anything that arrived before the HELLO was written before the peer could have read
    // it, so possibly by code that was never admitted.
    char byte = 0;
    const ssize_t early = ::recv(connection->socket.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (early >= 0) {
        close(*connection,
              early > 0 ? ConnectionEnd::bytesBeforeHello : ConnectionEnd::closedByPeer);
        return;
    }
    queueOutput(*connection, encodeHello());
    if (Connection* greeted = find(id)) {
        updateInterest(*greeted);
    }
    updateListening();
}

void FrontServer::readFrom(Connection& connection) {
    const std::uint64_t id = connection.id;
    while (find(id) != nullptr && (connection.interest & EPOLLIN) != 0) {
        if (!budgetAllowsReading(connection)) {
            connection.waitingForBudget = true;
            waitingForBudget_.push_back(id);
            updateInterest(connection);
            return;
        }
        if (!receiveChunk(connection)) {
            return;
        }
    }
}

bool FrontServer::receiveChunk(Connection& connection) {
    auto chunk =
        receiveWithSender(connection.socket.get(), receiveBuffer_.data(), receiveBuffer_.size());
    if (!chunk) {
        if (chunk.error().errorNumber != EAGAIN && chunk.error().errorNumber != EWOULDBLOCK) {
            close(connection, ConnectionEnd::transportError);
        }
        return false;
    }
    if (chunk->size == 0) {
        if (!connection.reader.atFrameBoundary()) {
            close(connection, ConnectionEnd::protocolError);
            return false;
        }
        connection.peerClosed = true;
        updateInterest(connection);
        finishIfDone(connection);
        return false;
    }
    const bool fromAdmittedPeer = senders_ == SenderIdentification::pidfds
                                      ? connection.sender->matches(chunk->senderPidfd.get())
                                      : connection.sender->matchesPid(chunk->senderPid);
    if (!fromAdmittedPeer) {
        close(connection, ConnectionEnd::foreignSender);
        return false;
    }
    connection.reader.append(std::string_view(receiveBuffer_.data(), chunk->size));
    const std::uint64_t id = connection.id;
    startCalls(connection);
    // A chunk shorter than the buffer took everything there was: the next byte will wake
    // the loop again (epoll is level-triggered), which spares a read that finds nothing.
    return find(id) != nullptr && chunk->size == receiveBuffer_.size();
}

void FrontServer::startCalls(Connection& connection) {
    const std::uint64_t id = connection.id;
    // One call at a time, and none while the last reply is still being sent.
    while (!connection.callInFlight && !connection.waitingCall && connection.output.empty()) {
        std::optional<std::string> body = connection.reader.next();
        if (!body) {
            break;
        }
        Expected<CallFrame, FrameError> call = decodeCall(*body);
        if (!call) {
            close(connection, ConnectionEnd::protocolError);
            return;
        }
        if (call->selector == CallSelector::helperVersion) {
            std::string version;
            connection.service->helperVersion([&](const std::string& text) { version = text; });
            if (auto frame = encodeReply(ReplyFrame{call->callId, version})) {
                queueOutput(connection, std::move(*frame));
            }
            if (find(id) == nullptr) {
                return;
            }
            continue;
        }
        const Usage& usage = usage_[connection.uid];
        connection.argumentBytes = call->argument.size();
        if (operationsInFlight_ >= limits_.maxOperationsInFlight ||
            usage.operations >= limits_.maxOperationsInFlightPerUser) {
            connection.waitingCall = std::move(call).value();
            waitingForSlot_.push_back(id);
            break;
        }
        startPerform(connection, std::move(call).value());
    }
    // A refused length, or a frame begun that shows already it will be refused, ends the
    // connection now rather than once its body is in.
    const auto partial = connection.reader.partialFrame();
    if (connection.reader.failed() ||
        (partial && !judgeCallPrefix(partial->bodyPrefix, partial->declaredLength))) {
        close(connection, ConnectionEnd::protocolError);
        return;
    }
    // The deadline runs from the first byte of a frame until the frame is complete.
    if (partial) {
        if (!connection.frameBegun) {
            connection.frameBegun = Clock::now();
            partialFrames_.insert(id);
        }
    } else if (connection.frameBegun) {
        connection.frameBegun.reset();
        partialFrames_.erase(id);
    }
    recharge(connection);
    updateInterest(connection);
}

void FrontServer::startPerform(Connection& connection, CallFrame call) {
    connection.callInFlight = true;
    connection.argumentBytes = call.argument.size();
    ++operationsInFlight_;
    ++usage_[connection.uid].operations;
    const std::uint64_t id = connection.id;
    const uid_t uid = connection.uid;
    const std::uint64_t callId = call.callId;
    auto work = [this, id, uid, callId, service = connection.service,
                 argument = std::move(call.argument)] {
        service->perform(argument, [this, id, uid, callId](const std::string& answer) {
            // The monitor's answer arrives on the loop thread: delivered at once. Any other
            // (a work thread's, or one given while a call is being started) goes round.
            if (std::this_thread::get_id() == loopThread_ && !startingCall_) {
                deliverReply(id, uid, callId, answer);
                return;
            }
            mailbox_.post(
                [this, id, uid, callId, answer] { deliverReply(id, uid, callId, answer); });
        });
    };
    // A short request decodes in microseconds: handing it to a work thread would cost more
    // than it saves. A long one must not hold up the loop.
    if (connection.argumentBytes <= front::inlineDecodeLimit) {
        startingCall_ = true;
        work();
        startingCall_ = false;
    } else if (pool_.submit(std::move(work)) != WorkPool::Submitted::queued) {
        // No thread to decode it on: answered with zero bytes, as when the monitor could
        // not be asked.
        mailbox_.post([this, id, uid, callId] { deliverReply(id, uid, callId, {}); });
    }
}

void FrontServer::deliverReply(std::uint64_t id, uid_t uid, std::uint64_t callId,
                               const std::string& answer) {
    --operationsInFlight_;
    Usage& usage = usage_[uid];
    --usage.operations;
    if (usage.connections == 0 && usage.operations == 0) {
        usage_.erase(uid);
    }
    Connection* connection = find(id);
    if (connection == nullptr || !connection->callInFlight) {
        return;  // the connection ended while its call ran
    }
    connection->callInFlight = false;
    connection->argumentBytes = 0;
    if (connection->service->peerChanged()) {
        close(*connection, ConnectionEnd::programChanged);
        return;
    }
    auto frame = encodeReply(ReplyFrame{callId, answer});
    if (!frame) {
        // An answer too large for a frame cannot be sent; the client learns of it as a
        // closed connection rather than a cut-off reply.
        close(*connection, ConnectionEnd::protocolError);
        return;
    }
    queueOutput(*connection, std::move(*frame));
    if ((connection = find(id)) != nullptr) {
        startCalls(*connection);
    }
}

void FrontServer::queueOutput(Connection& connection, std::string frame) {
    // Usually nothing waits before it: take the frame's bytes without copying them.
    if (connection.output.empty()) {
        connection.output = std::move(frame);
    } else {
        connection.output += frame;
    }
    flushOutput(connection);
}

void FrontServer::flushOutput(Connection& connection) {
    std::size_t sent = 0;
    while (sent < connection.output.size()) {
        const ssize_t count = retryOnInterrupt([&] {
            return ::send(connection.socket.get(), connection.output.data() + sent,
                          connection.output.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            close(connection, ConnectionEnd::transportError);
            return;
        }
        sent += static_cast<std::size_t>(count);
    }
    connection.output.erase(0, sent);
    if (connection.output.empty()) {
        connection.output.shrink_to_fit();
    }
    recharge(connection);
    updateInterest(connection);
    finishIfDone(connection);
}

void FrontServer::finishIfDone(Connection& connection) {
    if (connection.peerClosed && !connection.callInFlight && !connection.waitingCall &&
        connection.output.empty() && connection.reader.atFrameBoundary()) {
        close(connection, ConnectionEnd::closedByPeer);
    }
}

void FrontServer::close(Connection& connection, std::optional<ConnectionEnd> end) {
    const std::uint64_t id = connection.id;
    static_cast<void>(::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, connection.socket.get(), nullptr));
    connection.socket.reset();
    bufferedBytes_ -= connection.charged;
    usage_[connection.uid].bufferedBytes -= connection.charged;
    if (--usage_[connection.uid].connections == 0 && usage_[connection.uid].operations == 0) {
        usage_.erase(connection.uid);
    }
    partialFrames_.erase(id);
    if (end && connection.stage == Connection::Stage::serving) {
        delegate_.connectionEnded(LogPeer{connection.pid, connection.uid}, *end);
    }
    if (connection.peerHandle != 0) {
        static_cast<void>(monitor_.notify(channel::ReleasePeer{connection.peerHandle}));
    }
    connections_.erase(id);
    updateListening();
}

void FrontServer::checkDeadlines() {
    const Clock::time_point now = Clock::now();
    std::vector<std::uint64_t> expired;
    for (const std::uint64_t id : partialFrames_) {
        const Connection* connection = find(id);
        if (connection != nullptr && connection->frameBegun &&
            now - *connection->frameBegun > limits_.partialFrameDeadline) {
            expired.push_back(id);
        }
    }
    for (const std::uint64_t id : expired) {
        if (Connection* connection = find(id)) {
            close(*connection, ConnectionEnd::frameTimeout);
        }
    }
}

void FrontServer::updateInterest(Connection& connection) {
    std::uint32_t wanted = 0;
    if (connection.stage == Connection::Stage::serving) {
        // Reading pauses while a call runs and a further frame is complete already (calls
        // are answered in order), while the budgets are spent, and once the peer closed.
        const bool frameWaiting =
            connection.waitingCall.has_value() ||
            (connection.callInFlight && !connection.reader.atFrameBoundary() &&
             !connection.reader.partialFrame());
        if (!connection.peerClosed && !connection.waitingForBudget && !frameWaiting) {
            wanted |= EPOLLIN;
        }
        if (!connection.output.empty()) {
            wanted |= EPOLLOUT;
        }
    }
    if (wanted != connection.interest) {
        epoll_event event{};
        event.events = wanted;
        event.data.u64 = connection.id;
        static_cast<void>(
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, connection.socket.get(), &event));
        connection.interest = wanted;
    }
}

void FrontServer::recharge(Connection& connection) {
    const std::size_t now = connection.reader.bufferedBytes() + connection.argumentBytes +
                            connection.output.size() +
                            (connection.waitingCall ? connection.waitingCall->argument.size() : 0);
    Usage& usage = usage_[connection.uid];
    bufferedBytes_ = bufferedBytes_ - connection.charged + now;
    usage.bufferedBytes = usage.bufferedBytes - connection.charged + now;
    connection.charged = now;
}

bool FrontServer::budgetAllowsReading(const Connection& connection) const {
    const auto found = usage_.find(connection.uid);
    const std::size_t mine = found == usage_.end() ? 0 : found->second.bufferedBytes;
    return bufferedBytes_ + front::receiveChunkSize <= limits_.maxBufferedBytes &&
           mine + front::receiveChunkSize <= limits_.maxBufferedBytesPerUser;
}

void FrontServer::resumeWaiting() {
    // Calls first: a freed operation slot goes to the connection that waited longest.
    std::size_t rounds = waitingForSlot_.size();
    while (rounds-- > 0 && operationsInFlight_ < limits_.maxOperationsInFlight) {
        const std::uint64_t id = waitingForSlot_.front();
        waitingForSlot_.pop_front();
        Connection* connection = find(id);
        if (connection == nullptr || !connection->waitingCall) {
            continue;
        }
        if (usage_[connection->uid].operations >= limits_.maxOperationsInFlightPerUser) {
            waitingForSlot_.push_back(id);
            continue;
        }
        CallFrame call = std::move(*connection->waitingCall);
        connection->waitingCall.reset();
        startPerform(*connection, std::move(call));
        recharge(*connection);
        updateInterest(*connection);
    }
    rounds = waitingForBudget_.size();
    while (rounds-- > 0) {
        const std::uint64_t id = waitingForBudget_.front();
        waitingForBudget_.pop_front();
        Connection* connection = find(id);
        if (connection == nullptr || !connection->waitingForBudget) {
            continue;
        }
        if (!budgetAllowsReading(*connection)) {
            waitingForBudget_.push_back(id);
            continue;
        }
        connection->waitingForBudget = false;
        updateInterest(*connection);
    }
}

}  // namespace tavelin
