#include "TavelinHelper/monitor/Monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <variant>

#include "TavelinHelper/common/WorkPool.h"
#include "TavelinPlatform/channel/SealedBlob.h"
#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
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

std::optional<ExecutableIdentity> identityOf(int executable) {
    struct stat status {};
    if (::fstat(executable, &status) != 0) {
        return std::nullopt;
    }
    return ExecutableIdentity{status.st_dev, status.st_ino};
}

}  // namespace

// One front's conversation: its opened peers, its running operations, its replies.
class Monitor::Session {
    // A peer as this session accepted it and, from its first look on, its /proc directory
    // and the executable that look found (pinned: every operation checks it still runs it).
    struct OpenedPeer {
        std::optional<PeerProcess> process;  // none: it could not be recorded
        UniqueFd directory{};
        std::optional<ExecutableIdentity> pinnedExecutable{};
    };

  public:
    Session(Monitor& monitor, int channel) : monitor_(monitor), channel_(channel) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() = default;  // threads_ goes first and waits for every operation

    Expected<Ended, SystemError> run() {
        for (;;) {
            if (monitor_.idleLimit_ && !awaitRequestWhileBusy()) {
                return Ended::idle;
            }
            auto datagram = receiveDatagram(channel_);
            lastRequest_ = Clock::now();
            if (!datagram) {
                if (datagram.error().errorNumber == ECONNRESET) {
                    return Ended::frontClosed;
                }
                return Unexpected(std::move(datagram).error());
            }
            auto envelope = decodeRequest(datagram->bytes, datagram->descriptor.valid());
            if (!envelope) {
                return systemError(EPROTO, "channel", channelErrorName(envelope.error()));
            }
            if (auto handled = handle(*envelope, std::move(datagram->descriptor)); !handled) {
                return Unexpected(std::move(handled).error());
            }
        }
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds connectionRecheck{1000};

    // Waits until the front sends something (true), or until the session has been idle for
    // the idle limit (false): no peer open, no operation running, nothing heard from the
    // front and nobody waiting on the listening socket, all for that long.
    bool awaitRequestWhileBusy() {
        // With a peer open the session is not idle until the front releases it, which is a
        // request: the receive may block, and a client's requests pay for no timer.
        if (!peers_.empty()) {
            return true;
        }
        const std::chrono::milliseconds limit = *monitor_.idleLimit_;
        for (;;) {
            // Busy: look again after a limit's time, as an operation may end meanwhile.
            std::chrono::milliseconds wait = limit;
            const auto operationsIdle = threads_.idleSince();
            if (operationsIdle) {
                const Clock::time_point idleFrom = std::max(lastRequest_, *operationsIdle);
                wait =
                    std::chrono::ceil<std::chrono::milliseconds>(idleFrom + limit - Clock::now());
                if (wait.count() <= 0) {
                    if (!someoneWaits(monitor_.listening_)) {
                        return false;
                    }
                    wait = connectionRecheck;  // the front has yet to ask for it
                }
            }
            pollfd channel{channel_, POLLIN, 0};
            const int ready = retryOnInterrupt(
                [&] { return ::poll(&channel, 1, static_cast<int>(wait.count())); });
            if (ready != 0) {
                return true;  // a request, a hang-up or an error: receiveDatagram tells which
            }
        }
    }

    Status<SystemError> handle(const Envelope<FrontRequest>& envelope, UniqueFd descriptor) {
        if (auto admissible = checkRules(envelope.message, descriptor.valid()); !admissible) {
            return admissible;
        }
        const std::uint64_t id = envelope.requestId;
        return std::visit(
            [&](const auto& request) { return handleRequest(id, request, std::move(descriptor)); },
            envelope.message);
    }

    // The next connection waiting on the daemon's listening socket, accepted here: every
    // peer the monitor acts for connected to it, whatever the front says. A peer that
    // cannot be recorded (gone already) is handed over all the same, so that admission
    // refuses it with its reason; no look at it ever succeeds.
    Status<SystemError> handleRequest(std::uint64_t id, const AcceptPeer&, UniqueFd) {
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

    Status<SystemError> handleRequest(std::uint64_t id, const InspectPeer& request, UniqueFd) {
        return replyWithLook(id, request.peerHandle, peers_.at(request.peerHandle));
    }

    Status<SystemError> handleRequest(std::uint64_t, const ReleasePeer& request, UniqueFd) {
        peers_.erase(request.peerHandle);
        return {};
    }

    // Written as the front's word: the text and the peer are what the front says they are,
    // as its lines on stderr always were; the log escapes the text like any other.
    Status<SystemError> handleRequest(std::uint64_t, const RefusalLine& request, UniqueFd) {
        monitor_.log_.log(LogPriority::error, request.text,
                          LogPeer{request.pid, static_cast<uid_t>(request.uid), request.reason});
        return {};
    }

    Status<SystemError> handleRequest(std::uint64_t id, const RemoveSystemPaths& request,
                                      UniqueFd blob) {
        auto bytes = attachedBytes(request.pathList, blob.get(), maxPathBlobSize);
        if (!bytes) {
            return systemError(EPROTO, "channel", "path blob");
        }
        auto paths = decodePathList(*bytes, request.pathCount);
        if (!paths) {
            return systemError(EPROTO, "channel", channelErrorName(paths.error()));
        }
        return start(id, request.peerHandle,
                     PrivilegedOperation::removeSystemPaths(std::move(paths).value()));
    }

    Status<SystemError> handleRequest(std::uint64_t id, const RepairPermissions& request,
                                      UniqueFd blob) {
        auto path = attachedBytes(request.path, blob.get(), maxPathBlobSize);
        if (!path) {
            return systemError(EPROTO, "channel", "path blob");
        }
        return start(id, request.peerHandle,
                     PrivilegedOperation::repairPermissions(std::move(path).value()));
    }

    Status<SystemError> handleRequest(std::uint64_t id, const InstallUpdates& request, UniqueFd) {
        return start(id, request.peerHandle, PrivilegedOperation::installSystemUpdates());
    }

    // The channel's rule table, checked before any handler runs: what breaks it ends the
    // conversation, the same way for every request.
    Status<SystemError> checkRules(const FrontRequest& request, bool hasDescriptor) const {
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

    // Runs the operation on a thread of its own, for a peer this session accepted and
    // looked at (checkRules).
    Status<SystemError> start(std::uint64_t id, std::uint64_t peerHandle,
                              PrivilegedOperation operation) {
        // Admission vouched for one program; a peer that has exec'd another since (which
        // keeps its connection and its pid) gets nothing done, whatever the front says.
        const OpenedPeer& peer = peers_.at(peerHandle);
        const auto startTime =
            peer.pinnedExecutable && stillRuns(peer.directory.get(), *peer.pinnedExecutable)
                ? startTimeOf(peer.directory.get())
                : std::nullopt;
        if (!startTime) {
            OperationDone refused;
            refused.peerChanged = true;
            return reply(id, refused);
        }
        // A pidfd of the operation's own, open however long it takes (the front may release
        // the peer meanwhile).
        UniqueFd pidfd(::fcntl(peer.process->pidfd.get(), F_DUPFD_CLOEXEC, 0));
        if (!pidfd) {
            return reply(id, noResult());
        }
        try {
            auto requester = std::make_shared<const Requester>(
                Requester{std::move(pidfd), peer.process->pid, peer.process->uid, *startTime});
            switch (threads_.submit(
                [this, id, operation = std::move(operation), requester = std::move(requester)] {
                    finish(id, operation, *requester);
                })) {
                case WorkPool::Submitted::queued:
                    return {};
                case WorkPool::Submitted::full:
                    return systemError(EPROTO, "channel", "too many operations");
                case WorkPool::Submitted::noThread:
                    break;
            }
        } catch (const std::exception&) {
            // No memory for the job: as for no thread, below.
        }
        // No thread could be started (out of memory or address space): this one request
        // gets no result, the monitor goes on.
        return reply(id, noResult());
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
    Status<SystemError> replyWithLook(std::uint64_t id, std::uint64_t handle, OpenedPeer& peer) {
        if (!peer.process) {
            return reply(id, failedLook(ESRCH, handle));
        }
        Expected<PeerEvidence, SystemError> evidence = inspectPeer(*peer.process, monitor_.trust_);
        if (evidence && !peer.pinnedExecutable) {
            peer.directory = openPeerDirectory(*peer.process);
            if (!peer.directory) {
                return reply(id, failedLook(errno == EMFILE ? EMFILE : ESRCH, handle));
            }
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
    std::unordered_map<std::uint64_t, OpenedPeer> peers_;
    std::uint64_t nextHandle_ = 1;
    Clock::time_point lastRequest_ = Clock::now();
    Mutex sendMutex_;  // one datagram at a time on the channel
    // Last: destroyed first, it waits for the operations, which use everything above.
    // One thread per running operation: an operation waits for none.
    WorkPool threads_{{maxRunningOperations, maxIdleOperationThreads, maxRunningOperations}};
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
    Session session(*this, channelFd);
    auto served = session.run();
    if (!served) {
        log_.log(LogPriority::error, "[TavelinHelper] Front bricht das Kanalprotokoll (" +
                                         served.error().describe() + ")");
    }
    return served;
}

}  // namespace tavelin
