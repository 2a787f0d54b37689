#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "TavelinHelper/common/WorkPool.h"
#include "TavelinHelper/front/FrontBudget.h"
#include "TavelinHelper/front/FrontConnection.h"
#include "TavelinHelper/front/FrontDelegate.h"
#include "TavelinHelper/front/FrontLimits.h"
#include "TavelinHelper/front/LoopMailbox.h"
#include "TavelinHelper/front/MonitorClient.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/SenderPidfd.h"

namespace tavelin {

// The front's one event loop: it has the monitor accept each waiting connection, has each
// admitted (on a work thread, through the delegate and the monitor), greets the admitted ones,
// reads their frames, answers version calls itself and hands perform calls to their service, which
// forwards them to the monitor. One epoll set holds every connection; a thread works
// only while work runs (an admission, the decoding of a request). Calls on one connection
// are answered in order, one at a time; a slow call on one never delays another.
//
// Every resource a client can make the front hold is bounded (FrontLimits, counted by
// FrontBudget): the connections of all users and of one, the admissions under way, the
// bytes of requests and replies held, the time a frame may take, the operations waiting
// for the monitor. Reaching a limit pauses reading or accepting, queues a call or closes
// one connection. Out of memory while serving one connection closes that connection.
//
// A handler that ends a connection only marks it closed; the connection is freed once the
// event's handlers have run (collectGarbage), so no handler outlives the connection it holds.
class FrontServer {
  public:
    // `listeningSocket`: the daemon's listening socket, watched to learn that someone
    // waits (the monitor accepts). `senders`: how the writers of received bytes are told
    // apart on this kernel (senderIdentificationOfKernel). The monitor client and delegate
    // must outlive the server.
    FrontServer(UniqueFd listeningSocket, MonitorClient& monitor, FrontDelegate& delegate,
                FrontLimits limits = {},
                SenderIdentification senders = SenderIdentification::pidfds);
    FrontServer(const FrontServer&) = delete;
    FrontServer& operator=(const FrontServer&) = delete;
    ~FrontServer();

    // Serves until the monitor's channel closes or breaks (its error), or stop() was
    // called (success). Call from one thread, once.
    [[nodiscard]] Status<SystemError> run();

    // Makes run() return; safe from any thread.
    void stop();

  private:
    using Connection = FrontConnection;
    using Clock = std::chrono::steady_clock;
    // epoll keys of the descriptors that are not connections; connection ids start above.
    static constexpr std::uint64_t listeningKey = 1;
    static constexpr std::uint64_t mailboxKey = 2;
    static constexpr std::uint64_t monitorKey = 3;
    static constexpr std::uint64_t timerKey = 4;
    static constexpr std::uint64_t stopKey = 5;
    static constexpr std::uint64_t firstConnectionId = 16;

    // A call's reply, given by its service on any thread, waiting to be delivered.
    struct CompletedCall {
        std::uint64_t connectionId = 0;
        uid_t uid = 0;
        std::uint64_t callId = 0;
        std::string answer;
    };

    // The loop and the end of connections (FrontServer.cc).
    [[nodiscard]] Status<SystemError> setUp();
    [[nodiscard]] Status<SystemError> watch(int fd, std::uint64_t key, std::uint32_t events);
    [[nodiscard]] Status<SystemError> handleEvent(std::uint64_t key, std::uint32_t events);
    void settle();
    // The connection with this id, unless it is gone or closed.
    [[nodiscard]] Connection* findOpen(std::uint64_t id);
    void markClosed(Connection& connection, std::optional<ConnectionEnd> end) noexcept;
    void collectGarbage();
    void freeConnection(Connection& connection) noexcept;
    void checkDeadlines();

    // Accepting and admitting (FrontAccepting.cc).
    void requestAccept();
    void takeAccepted(Expected<MonitorClient::Reply, SystemError> reply);
    void addConnection(UniqueFd socket, const channel::PeerAccepted& accepted);
    void updateListening();
    void admit(Connection& connection);
    void finishAdmission(std::uint64_t id, std::shared_ptr<ConnectionService> service);

    // Serving calls (FrontServing.cc).
    void readFrom(Connection& connection);
    [[nodiscard]] bool receiveChunk(Connection& connection);
    void startCalls(Connection& connection);
    void startPerform(Connection& connection, CallFrame call);
    void complete(CompletedCall call) noexcept;
    void deliverCompleted();
    void deliverReply(const CompletedCall& call);
    void queueOutput(Connection& connection, std::string frame);
    void flushOutput(Connection& connection);
    void finishIfDone(Connection& connection);
    void updateInterest(Connection& connection);
    void recharge(Connection& connection);
    void resumeWaiting();

    const FrontLimits limits_;
    FrontBudget budget_;
    UniqueFd listening_;
    MonitorClient& monitor_;
    FrontDelegate& delegate_;
    const SenderIdentification senders_;
    UniqueFd epoll_;
    UniqueFd timer_;
    UniqueFd stopEvent_;
    LoopMailbox mailbox_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    std::set<std::uint64_t> partialFrames_;  // connections with a frame begun
    std::deque<std::uint64_t> waitingForBudget_;
    std::deque<std::uint64_t> waitingForSlot_;  // connections with a call waiting
    std::uint64_t nextId_ = 1;
    bool accepting_ = false;      // the listening socket is watched
    bool acceptPending_ = false;  // an acceptPeer waits for the monitor's answer
    bool acceptPaused_ = false;   // until the next tick (out of descriptors or memory)
    bool stopped_ = false;
    std::thread::id loopThread_;
    std::deque<CompletedCall> completed_;  // replies given on the loop thread
    Connection* closedHead_ = nullptr;     // closed, to be freed by collectGarbage()
    Connection* closedTail_ = nullptr;
    std::vector<char> receiveBuffer_;
    WorkPool pool_;  // last: destroyed (joined) first, while everything its jobs use lives
};

}  // namespace tavelin
