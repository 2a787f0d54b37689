// FrontServer: how admitted connections are served. Frames are read, calls started in
// order, replies delivered and sent; reading pauses and resumes with the budgets.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

#include "TavelinHelper/front/FrontServer.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin {

void FrontServer::readFrom(Connection& connection) {
    while (!connection.closed && (connection.interest & EPOLLIN) != 0) {
        if (!budget_.allowsReading(connection.uid)) {
            connection.waitingForBudget = true;
            waitingForBudget_.push_back(connection.id);
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
            markClosed(connection, ConnectionEnd::transportError);
        }
        return false;
    }
    if (chunk->size == 0) {
        if (!connection.reader.atFrameBoundary()) {
            markClosed(connection, ConnectionEnd::protocolError);
            return false;
        }
        connection.peerClosed = true;
        updateInterest(connection);
        finishIfDone(connection);
        return false;
    }
    // The writer's pid, as the kernel tagged the chunk, must be the pinned peer's while that
    // peer still runs: no other process can have had its pid meanwhile. A pid costs the
    // kernel nothing per chunk, where a pidfd per chunk would be a new file to make, look
    // at and close.
    if (!connection.sender->matchesPid(chunk->senderPid)) {
        markClosed(connection, ConnectionEnd::foreignSender);
        return false;
    }
    connection.reader.append(std::string_view(receiveBuffer_.data(), chunk->size));
    startCalls(connection);
    // A chunk shorter than the buffer took everything there was: the next byte will wake
    // the loop again (epoll is level-triggered), which spares a read that finds nothing.
    return !connection.closed && chunk->size == receiveBuffer_.size();
}

void FrontServer::startCalls(Connection& connection) {
    // One call at a time, and none while the last reply is still being sent.
    while (!connection.closed && !connection.callInFlight && !connection.waitingCall &&
           connection.output.empty()) {
        std::optional<std::string> body = connection.reader.next();
        if (!body) {
            break;
        }
        Expected<CallFrame, FrameError> call = decodeCall(std::move(*body));
        if (!call) {
            markClosed(connection, ConnectionEnd::protocolError);
            return;
        }
        if (call->selector == CallSelector::helperVersion) {
            std::string version;
            connection.service->helperVersion([&](const std::string& text) { version = text; });
            if (auto frame = encodeReply(ReplyFrame{call->callId, version})) {
                queueOutput(connection, std::move(*frame));
            }
            continue;
        }
        connection.argumentBytes = call->argument.size();
        if (!budget_.takeOperation(connection.uid)) {
            connection.waitingCall = std::move(call).value();
            waitingForSlot_.push_back(connection.id);
            break;
        }
        startPerform(connection, std::move(call).value());
    }
    if (connection.closed) {
        return;
    }
    // A refused length, or a frame begun that shows already it will be refused, ends the
    // connection now rather than once its body is in.
    const auto partial = connection.reader.partialFrame();
    if (connection.reader.failed() ||
        (partial && !judgeCallPrefix(partial->bodyPrefix, partial->declaredLength))) {
        markClosed(connection, ConnectionEnd::protocolError);
        return;
    }
    // The deadline runs from the first byte of a frame until the frame is complete.
    if (partial) {
        if (!connection.frameBegun) {
            connection.frameBegun = Clock::now();
            partialFrames_.insert(connection.id);
        }
    } else if (connection.frameBegun) {
        connection.frameBegun.reset();
        partialFrames_.erase(connection.id);
    }
    recharge(connection);
    updateInterest(connection);
}

void FrontServer::startPerform(Connection& connection, CallFrame call) {
    connection.callInFlight = true;
    connection.argumentBytes = call.argument.size();
    const std::uint64_t id = connection.id;
    const uid_t uid = connection.uid;
    const std::uint64_t callId = call.callId;
    // The argument moves on into the service, which frees it once it is decoded.
    auto work = [this, id, uid, callId, service = connection.service,
                 argument = std::move(call.argument)]() mutable {
        service->performTaking(std::move(argument),
                               [this, id, uid, callId](const std::string& answer) {
                                   complete(CompletedCall{id, uid, callId, answer});
                               });
    };
    // A short request decodes in microseconds: handing it to a work thread would cost more
    // than it saves. A long one must not hold up the loop.
    if (connection.argumentBytes <= front::inlineDecodeLimit) {
        work();
    } else if (pool_.submit(std::move(work)) != WorkPool::Submitted::queued) {
        // No thread to decode it on: answered with zero bytes, as when the monitor could
        // not be asked.
        complete(CompletedCall{id, uid, callId, {}});
    }
}

// A reply given on the loop thread (the monitor's answer, a short request answered while
// it starts) waits until the event's handlers are done, so that no handler runs inside
// another; one given on another thread goes through the mailbox.
void FrontServer::complete(CompletedCall call) noexcept {
    if (std::this_thread::get_id() == loopThread_) {
        try {
            completed_.push_back(std::move(call));
            return;
        } catch (...) {
            // Out of memory (the call is left as it was): the mailbox may still have room.
        }
    }
    try {
        mailbox_.post([this, call = std::move(call)] { deliverReply(call); });
    } catch (...) {
        // Lost, as the mailbox loses what it cannot queue.
    }
}

void FrontServer::deliverCompleted() {
    while (!completed_.empty()) {
        const CompletedCall call = std::move(completed_.front());
        completed_.pop_front();
        deliverReply(call);
    }
}

void FrontServer::deliverReply(const CompletedCall& call) {
    budget_.releaseOperation(call.uid);
    Connection* connection = findOpen(call.connectionId);
    if (connection == nullptr || !connection->callInFlight) {
        return;  // the connection ended while its call ran
    }
    try {
        connection->callInFlight = false;
        connection->argumentBytes = 0;
        if (connection->service->peerChanged()) {
            markClosed(*connection, ConnectionEnd::programChanged);
            return;
        }
        auto frame = encodeReply(ReplyFrame{call.callId, call.answer});
        if (!frame) {
            // An answer too large for a frame cannot be sent; the client learns of it as a
            // closed connection rather than a cut-off reply.
            markClosed(*connection, ConnectionEnd::protocolError);
            return;
        }
        queueOutput(*connection, std::move(*frame));
        startCalls(*connection);
    } catch (const std::exception&) {
        markClosed(*connection, ConnectionEnd::transportError);
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
    if (connection.closed) {
        return;
    }
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
            markClosed(connection, ConnectionEnd::transportError);
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
        markClosed(connection, ConnectionEnd::closedByPeer);
    }
}

void FrontServer::updateInterest(Connection& connection) {
    if (connection.closed) {
        return;  // collectGarbage() takes it out of the set
    }
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
    budget_.recharge(connection.uid, connection.charged, now);
    connection.charged = now;
}

void FrontServer::resumeWaiting() {
    // Calls first: a freed operation slot goes to the connection that waited longest.
    std::size_t rounds = waitingForSlot_.size();
    while (rounds-- > 0 && budget_.hasOperationSlot()) {
        const std::uint64_t id = waitingForSlot_.front();
        waitingForSlot_.pop_front();
        Connection* connection = findOpen(id);
        if (connection == nullptr || !connection->waitingCall) {
            continue;
        }
        if (!budget_.takeOperation(connection->uid)) {
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
        Connection* connection = findOpen(id);
        if (connection == nullptr || !connection->waitingForBudget) {
            continue;
        }
        if (!budget_.allowsReading(connection->uid)) {
            waitingForBudget_.push_back(id);
            continue;
        }
        connection->waitingForBudget = false;
        updateInterest(*connection);
    }
}

}  // namespace tavelin
