#include "TavelinHelper/monitor/Monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include "TavelinHelper/common/WorkPool.h"
#include "TavelinHelper/monitor/ChannelWaiter.h"
#include "TavelinPlatform/channel/PathListBlob.h"
#include "TavelinPlatform/channel/SealedBlob.h"
#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/core/SharedFd.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin {

namespace {

using namespace channel;

// The executable goes back to the front only if the peer itself could read it: the front
// must not learn through us the contents of a file its peer cannot read.
bool peerMayRead(const PeerEvidence& evidence) {
    struct stat status {};
    return ::fstat(evidence.executable.get(), &status) == 0 &&
           ((status.st_mode & S_IROTH) != 0 ||
            (status.st_uid == evidence.uid && (status.st_mode & S_IRUSR) != 0));
}

PeerOpened openedReply(std::uint64_t handle, const PeerEvidence& evidence) {
    return PeerOpened{0,
                      handle,
                      evidence.pid,
                      static_cast<std::uint32_t>(evidence.uid),
                      static_cast<std::uint32_t>(evidence.gid),
                      evidence.tracerPid,
                      static_cast<std::uint32_t>(evidence.code)};
}

PeerOpened failedLook(int errorNumber, std::uint64_t handle = 0) {
    PeerOpened opened;
    opened.errorNumber = errorNumber;
    opened.peerHandle = handle;
    return opened;
}

PeerAccepted refusedAccept(int errorNumber) {
    PeerAccepted accepted;
    accepted.errorNumber = errorNumber;
    return accepted;
}

// Whether a connection waits on the listening socket.
bool someoneWaits(int listening) {
    pollfd waiting{listening, POLLIN, 0};
    return retryOnInterrupt([&] { return ::poll(&waiting, 1, 0); }) != 0;
}

// The next connection waiting, or EAGAIN when nobody waits. The front shares the listening
// socket's file status flags and could clear O_NONBLOCK; asking poll first keeps a broken
// front from parking this thread in accept().
Expected<UniqueFd, int> acceptWaiting(int listening) {
    pollfd waiting{listening, POLLIN, 0};
    const int ready = retryOnInterrupt([&] { return ::poll(&waiting, 1, 0); });
    if (ready <= 0 || (waiting.revents & POLLIN) == 0) {
        return Unexpected(ready < 0 ? errno : EAGAIN);
    }
    UniqueFd connection(retryOnInterrupt(
        [&] { return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
    if (!connection) {
        return Unexpected(errno == EWOULDBLOCK ? EAGAIN : errno);
    }
    return connection;
}

// Why serving a front ended other than by its closing the channel.
void logBreach(LogSink& log, const SystemError& error) {
    log.log(LogPriority::error,
            "[TavelinHelper] Front bricht das Kanalprotokoll (" + error.describe() + ")");
}

std::optional<ExecutableIdentity> identityOf(int executable) {
    struct stat status {};
    if (::fstat(executable, &status) != 0) {
        return std::nullopt;
    }
    return ExecutableIdentity{status.st_dev, status.st_ino};
}

}  // namespace

// One front's conversation: its opened peers, its running operations, its replies.
//
// Threads read the channel by turns: every thread not running an operation waits on the
// channel itself (ChannelWaiter), the kernel wakes one, and it reads and handles one
// request under sessionMutex_, so requests are handled one at a time and in order. An
// operation runs on the thread that read it, while another thread waits for the next
// request: a request's path crosses no hand-off between threads of ours.
class Monitor::Session {
    // A peer as this session accepted it and, from its first look on, its /proc directory,
    // the executable that look found (pinned: every operation checks it still runs it) and
    // its start time (fixed for as long as the directory names a running process).
    struct OpenedPeer {
        std::optional<PeerProcess> process;  // none: it could not be recorded
        UniqueFd directory{};
        std::optional<ExecutableIdentity> pinnedExecutable{};
        std::uint64_t startTime = 0;
        // The pidfd operations hold, open however long they run (the front may release
        // the peer meanwhile); made by the first operation, shared by the later ones.
        SharedFd operationPidfd{};
    };

    // An operation checked by the thread that read it, to run once it is done reading.
    struct ReadyOperation {
        std::uint64_t id;
        PrivilegedOperation operation;
        Requester requester;
    };

    using Outcome = Expected<Ended, SystemError>;

  public:
    Session(Monitor& monitor, int channel, UniqueFd stop)
        : monitor_(monitor), channel_(channel), stop_(std::move(stop)) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() = default;  // threads_ goes first and waits for every operation

    // Reads by turns with the pool's threads until the conversation ends; the calling
    // thread stays to the end, so the channel never lacks a reader for want of threads.
    Outcome run() {
        if (auto waiter = ChannelWaiter::watch(channel_, stop_.get())) {
            follow(*waiter, /*mayRetire=*/false);
        } else {
            end(Unexpected(std::move(waiter).error()));
        }
        const MutexLock lock(stateMutex_);
        return outcome_.value_or(Outcome(Ended::frontClosed));
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds connectionRecheck{1000};

    // A thread's part: waits for a request, handles it, runs the operation it read; until
    // the conversation ends, or (`mayRetire`) enough other threads wait.
    void follow(const ChannelWaiter& waiter, bool mayRetire) {
        for (;;) {
            const ChannelWaiter::Awaited awaited = awaitRequest(waiter);
            if (awaited == ChannelWaiter::Awaited::stopped) {
                return;
            }
            if (awaited == ChannelWaiter::Awaited::timedOut) {
                if (isIdle()) {
                    return end(Ended::idle);
                }
                continue;
            }
            std::optional<ReadyOperation> ready = readRequest();
            if (ready) {
                runOperation(*ready);
                if (mayRetire && enoughWaiting()) {
                    return;
                }
            }
        }
    }

    ChannelWaiter::Awaited awaitRequest(const ChannelWaiter& waiter) {
        const std::optional<std::chrono::milliseconds> limit = idleWait();
        {
            const MutexLock lock(stateMutex_);
            ++waiting_;
        }
        const ChannelWaiter::Awaited awaited = waiter.await(limit);
        const MutexLock lock(stateMutex_);
        --waiting_;
        return awaited;
    }

    // Reads and handles one request, if another thread has not taken it already; an
    // operation comes back ready to run. Ends the conversation on what breaks it.
    std::optional<ReadyOperation> readRequest() {
        const MutexLock lock(sessionMutex_);
        auto datagram = receiveDatagram(channel_, /*wait=*/false);
        if (!datagram) {
            const int error = datagram.error().errorNumber;
            if (error != EAGAIN && error != EWOULDBLOCK) {
                lastRequest_ = Clock::now();
                end(error == ECONNRESET ? Outcome(Ended::frontClosed)
                                        : Outcome(Unexpected(std::move(datagram).error())));
            }
            return std::nullopt;
        }
        lastRequest_ = Clock::now();
        auto envelope = decodeRequest(datagram->bytes, datagram->descriptor.valid());
        if (!envelope) {
            end(systemError(EPROTO, "channel", channelErrorName(envelope.error())));
            return std::nullopt;
        }
        if (auto handled = handle(*envelope, std::move(datagram->descriptor)); !handled) {
            end(Unexpected(std::move(handled).error()));
            return std::nullopt;
        }
        std::optional<ReadyOperation> ready = std::move(ready_);
        ready_.reset();
        return ready;
    }

    // Runs an operation read by this thread. Some other thread must wait for the next
    // request meanwhile: one from the pool when none does.
    void runOperation(const ReadyOperation& ready) {
        if (!ensureWaitingThread()) {
            // No thread to be had (out of memory, address space or descriptors): this one
            // request gets no result, the monitor goes on.
            static_cast<void>(reply(ready.id, noResult()));
        } else {
            finish(ready.id, ready.operation, ready.requester);
        }
        const MutexLock lock(stateMutex_);
        --runningOperations_;
        lastFinished_ = Clock::now();
    }

    bool ensureWaitingThread() {
        {
            const MutexLock lock(stateMutex_);
            if (waiting_ > 0) {
                return true;
            }
        }
        // The new thread's waiter is made here, so that a thread that could not wait is
        // known now rather than missed later.
        auto waiter = ChannelWaiter::watch(channel_, stop_.get());
        if (!waiter) {
            return false;
        }
        try {
            // Shared, as a job must be copyable; only the new thread uses it.
            auto shared = std::make_shared<const ChannelWaiter>(std::move(waiter).value());
            return threads_.submit([this, shared] { follow(*shared, /*mayRetire=*/true); }) ==
                   WorkPool::Submitted::queued;
        } catch (const std::exception&) {
            return false;  // no memory for the job
        }
    }

    bool enoughWaiting() {
        const MutexLock lock(stateMutex_);
        return waiting_ >= maxIdleOperationThreads;
    }

    // The first end is the conversation's; every thread then leaves. A broken rule is
    // logged at once, while operations may still run for a while.
    void end(Outcome outcome) {
        {
            const MutexLock lock(stateMutex_);
            if (outcome_) {
                return;
            }
            outcome_ = outcome;
        }
        stopWaiters(stop_.get());
        if (!outcome) {
            logBreach(monitor_.log_, outcome.error());
        }
    }

    // How long a waiting thread may wait before it looks whether the session is idle:
    // no limit without an idle limit, or while a peer is open (the front releasing it is
    // a request, so a client's requests pay for no timer).
    std::optional<std::chrono::milliseconds> idleWait() {
        if (!monitor_.idleLimit_) {
            return std::nullopt;
        }
        const MutexLock session(sessionMutex_);
        if (!peers_.empty()) {
            return std::nullopt;
        }
        const std::chrono::milliseconds limit = *monitor_.idleLimit_;
        const MutexLock state(stateMutex_);
        if (runningOperations_ > 0) {
            return limit;  // busy: look again after a limit's time
        }
        const Clock::time_point idleFrom = std::max(lastRequest_, lastFinished_);
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(idleFrom + limit - Clock::now());
        if (left.count() > 0) {
            return left;
        }
        // Idle long enough, but someone waits: the front has yet to ask for it.
        return someoneWaits(monitor_.listening_) ? connectionRecheck : std::chrono::milliseconds{0};
    }

    // Idle: for the idle limit no peer open, no operation running, nothing heard from the
    // front and nobody waiting on the listening socket.
    bool isIdle() {
        if (!monitor_.idleLimit_) {
            return false;
        }
        const MutexLock session(sessionMutex_);
        const MutexLock state(stateMutex_);
        const Clock::time_point idleFrom = std::max(lastRequest_, lastFinished_);
        return peers_.empty() && runningOperations_ == 0 &&
               Clock::now() - idleFrom >= *monitor_.idleLimit_ &&
               !someoneWaits(monitor_.listening_);
    }

    Status<SystemError> handle(const Envelope<FrontRequest>& envelope, UniqueFd descriptor)
        REQUIRES(sessionMutex_) {
        if (auto admissible = checkRules(envelope.message, descriptor.valid()); !admissible) {
            return admissible;
        }
        const std::uint64_t id = envelope.requestId;
        return std::visit(
            [&](const auto& request) {
                sessionMutex_.assertHeld();
                return handleRequest(id, request, std::move(descriptor));
            },
            envelope.message);
    }

    // The next connection waiting on the daemon's listening socket, accepted here: every
    // peer the monitor acts for connected to it, whatever the front says. A peer that
    // cannot be recorded (gone already) is handed over all the same, so that admission
    // refuses it with its reason; no look at it ever succeeds.
    Status<SystemError> handleRequest(std::uint64_t id, const AcceptPeer&, UniqueFd)
        REQUIRES(sessionMutex_) {
        if (peers_.size() >= maxOpenPeers) {
            return reply(id, refusedAccept(EMFILE));  // it waits in the backlog meanwhile
        }
        auto connection = acceptWaiting(monitor_.listening_);
        if (!connection) {
            return reply(id, refusedAccept(connection.error()));
        }
        const auto credentials = peerCredentials(connection->get());
        if (!credentials) {
            return reply(id, refusedAccept(ESRCH));  // its connection closes here
        }
        const std::uint64_t handle = nextHandle_++;
        peers_.emplace(handle, OpenedPeer{monitor_.lookUpPeer_(connection->get())});
        const PeerAccepted accepted{0, handle, credentials->pid,
                                    static_cast<std::uint32_t>(credentials->uid),
                                    static_cast<std::uint32_t>(credentials->gid)};
        return sendReply(id, accepted, connection->get());
    }

    Status<SystemError> handleRequest(std::uint64_t id, const InspectPeer& request, UniqueFd)
        REQUIRES(sessionMutex_) {
        return replyWithLook(id, request.peerHandle, peers_.at(request.peerHandle));
    }

    Status<SystemError> handleRequest(std::uint64_t, const ReleasePeer& request, UniqueFd)
        REQUIRES(sessionMutex_) {
        peers_.erase(request.peerHandle);
        return {};
    }

    // Written as the front's word: the text and the peer are what the front says they are,
    // as its lines on stderr always were; the log escapes the text like any other.
    Status<SystemError> handleRequest(std::uint64_t, const RefusalLine& request, UniqueFd)
        REQUIRES(sessionMutex_) {
        monitor_.log_.log(LogPriority::error, request.text,
                          LogPeer{request.pid, static_cast<uid_t>(request.uid), request.reason});
        return {};
    }

    Status<SystemError> handleRequest(std::uint64_t id, const RemoveSystemPaths& request,
                                      UniqueFd blob) REQUIRES(sessionMutex_) {
        // Read from the blob a piece at a time: the list is never whole here beside its paths.
        auto paths = receivePathList(request.pathList, blob.get(), request.pathCount);
        if (!paths) {
            return systemError(EPROTO, "channel",
                               paths.error().blob ? std::string_view("path blob")
                                                  : channelErrorName(paths.error().list));
        }
        return start(id, request.peerHandle,
                     PrivilegedOperation::removeSystemPaths(std::move(paths).value()));
    }

    Status<SystemError> handleRequest(std::uint64_t id, const RepairPermissions& request,
                                      UniqueFd blob) REQUIRES(sessionMutex_) {
        auto path = attachedBytes(request.path, blob.get(), maxPathBlobSize);
        if (!path) {
            return systemError(EPROTO, "channel", "path blob");
        }
        return start(id, request.peerHandle,
                     PrivilegedOperation::repairPermissions(std::move(path).value()));
    }

    Status<SystemError> handleRequest(std::uint64_t id, const InstallUpdates& request, UniqueFd)
        REQUIRES(sessionMutex_) {
        return start(id, request.peerHandle, PrivilegedOperation::installSystemUpdates());
    }

    // The channel's rule table, checked before any handler runs: what breaks it ends the
    // conversation, the same way for every request.
    Status<SystemError> checkRules(const FrontRequest& request, bool hasDescriptor) const
        REQUIRES(sessionMutex_) {
        const RequestRule rule = ruleOf(request);
        if (hasDescriptor && !rule.mayCarryDescriptor) {
            return systemError(EPROTO, "channel", "descriptor where none belongs");
        }
        if (!rule.namesPeer) {
            return {};
        }
        const auto found = peers_.find(peerHandleOf(request));
        if (found == peers_.end()) {
            return systemError(EPROTO, "channel", "unknown peer");
        }
        if (rule.needsPinnedExecutable && !found->second.pinnedExecutable) {
            return systemError(EPROTO, "channel", "peer never looked at");
        }
        return {};
    }

    // Readies the operation for a peer this session accepted and looked at (checkRules);
    // the thread that read it runs it once it has passed the turn.
    Status<SystemError> start(std::uint64_t id, std::uint64_t peerHandle,
                              PrivilegedOperation operation) REQUIRES(sessionMutex_) {
        // Admission vouched for one program; a peer that has exec'd another since (which
        // keeps its connection and its pid) gets nothing done, whatever the front says.
        OpenedPeer& peer = peers_.at(peerHandle);
        if (!peer.pinnedExecutable || !stillRuns(peer.directory.get(), *peer.pinnedExecutable)) {
            OperationDone refused;
            refused.peerChanged = true;
            return reply(id, refused);
        }
        if (!startOperation()) {
            return systemError(EPROTO, "channel", "too many operations");
        }
        if (!peer.operationPidfd) {
            try {
                peer.operationPidfd =
                    UniqueFd(::fcntl(peer.process->pidfd.get(), F_DUPFD_CLOEXEC, 0));
            } catch (const std::exception&) {
                // No memory to share it: as for no descriptor, below.
            }
        }
        if (!peer.operationPidfd) {
            dropOperation();
            return reply(id, noResult());
        }
        try {
            ready_.emplace(ReadyOperation{id, std::move(operation),
                                          Requester{peer.operationPidfd, peer.process->pid,
                                                    peer.process->uid, peer.startTime}});
        } catch (const std::exception&) {
            // No memory to keep it: no result, the monitor goes on.
            dropOperation();
            return reply(id, noResult());
        }
        return {};
    }

    // Counts an operation as running; false when maxRunningOperations already are.
    bool startOperation() {
        const MutexLock lock(stateMutex_);
        if (runningOperations_ >= maxRunningOperations) {
            return false;
        }
        ++runningOperations_;
        return true;
    }

    void dropOperation() {
        const MutexLock lock(stateMutex_);
        --runningOperations_;
    }

    static OperationDone noResult() {
        OperationDone done;
        done.noResult = true;
        return done;
    }

    void finish(std::uint64_t id, const PrivilegedOperation& operation,
                const Requester& requester) {
        OperationDone done = noResult();
        UniqueFd blob;
        try {
            const PrivilegedResult result = monitor_.operations_.perform(operation, requester);
            if (auto attached = attach(result.message())) {
                done = OperationDone{result.success(), false, result.freedBytes(),
                                     std::move(attached->attachment)};
                blob = std::move(attached->blob);
            }
        } catch (...) {
            // No result could be made (out of memory): an empty answer, as for a result
            // that cannot be encoded.
            done = noResult();
        }
        static_cast<void>(sendReply(id, done, blob.get()));
    }

    // The first look pins the executable that every operation checks the peer still runs.
    Status<SystemError> replyWithLook(std::uint64_t id, std::uint64_t handle, OpenedPeer& peer)
        REQUIRES(sessionMutex_) {
        if (!peer.process) {
            return reply(id, failedLook(ESRCH, handle));
        }
        Expected<PeerEvidence, SystemError> evidence = inspectPeer(*peer.process, monitor_.trust_);
        if (evidence && !peer.pinnedExecutable) {
            peer.directory = openPeerDirectory(*peer.process);
            if (!peer.directory) {
                return reply(id, failedLook(errno == EMFILE ? EMFILE : ESRCH, handle));
            }
            const auto startTime = startTimeOf(peer.directory.get());
            if (!startTime) {
                peer.directory.reset();
                return reply(id, failedLook(ESRCH, handle));
            }
            peer.startTime = *startTime;
            peer.pinnedExecutable = identityOf(evidence->executable.get());
        }
        if (!evidence) {
            return reply(id, failedLook(evidence.error().errorNumber, handle));
        }
        if (!peerMayRead(*evidence)) {
            return reply(id, failedLook(EACCES, handle));
        }
        return sendReply(id, openedReply(handle, *evidence), evidence->executable.get());
    }

    Status<SystemError> reply(std::uint64_t id, const MonitorReply& message) {
        return sendReply(id, message, -1);
    }

    Status<SystemError> sendReply(std::uint64_t id, const MonitorReply& message, int fd) {
        const std::string bytes = encodeReply(id, message);
        const MutexLock lock(sendMutex_);
        auto sent = sendDatagram(channel_, bytes, carriesDescriptor(message) ? fd : -1);
        // A front that went away mid-operation is the supervisor's business, not an error
        // of this conversation.
        if (!sent && sent.error().errorNumber == EPIPE) {
            return {};
        }
        return sent;
    }

    Monitor& monitor_;
    int channel_;
    UniqueFd stop_;  // an eventfd: written once the conversation has ended
    // The reading thread's: read and changed only while a request is handled.
    Mutex sessionMutex_;  // taken before stateMutex_ where both are
    std::unordered_map<std::uint64_t, OpenedPeer> peers_ GUARDED_BY(sessionMutex_);
    std::uint64_t nextHandle_ GUARDED_BY(sessionMutex_) = 1;
    Clock::time_point lastRequest_ GUARDED_BY(sessionMutex_) = Clock::now();
    std::optional<ReadyOperation> ready_ GUARDED_BY(sessionMutex_);

    Mutex sendMutex_;  // one datagram at a time on the channel
    Mutex stateMutex_;
    std::optional<Outcome> outcome_ GUARDED_BY(stateMutex_);
    std::size_t runningOperations_ GUARDED_BY(stateMutex_) = 0;
    std::size_t waiting_ GUARDED_BY(stateMutex_) = 0;  // threads waiting for a request
    Clock::time_point lastFinished_ GUARDED_BY(stateMutex_) = Clock::now();
    // Last: destroyed first, it waits for the operations, which use everything above.
    // A thread per running operation besides those waiting for a request (the caller of
    // run() among them): an operation waits for none.
    static constexpr std::size_t maxThreads = maxRunningOperations + maxIdleOperationThreads;
    WorkPool threads_{{maxThreads, 0, maxThreads}};
};

Monitor::Monitor(LogSink& log, PrivilegedOperations& operations, const CodeTrust& trust,
                 int listeningSocket, PeerLookup lookUpPeer,
                 std::optional<std::chrono::milliseconds> idleLimit)
    : log_(log),
      operations_(operations),
      trust_(trust),
      lookUpPeer_(lookUpPeer),
      listening_(listeningSocket),
      idleLimit_(idleLimit) {
    const int flags = ::fcntl(listening_, F_GETFL);
    if (flags >= 0) {
        static_cast<void>(::fcntl(listening_, F_SETFL, flags | O_NONBLOCK));
    }
}

Expected<Monitor::Ended, SystemError> Monitor::serve(int channelFd) {
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop) {
        auto failed = lastSystemError("eventfd");
        logBreach(log_, failed.error());
        return failed;
    }
    Session session(*this, channelFd, std::move(stop));
    return session.run();
}

}  // namespace tavelin
