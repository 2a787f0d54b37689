#include "Monitor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <optional>
#include <variant>

#include "OperationThreads.h"
#include "SealedBlob.h"

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
    // A peer as this session opened it and, from its first look on, its /proc directory
    // and the executable that look found.
    struct OpenedPeer {
        PeerProcess process;
        UniqueFd directory;
        std::optional<ExecutableIdentity> admittedExecutable;
    };

  public:
    Session(Monitor& monitor, int channel) : monitor_(monitor), channel_(channel) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() = default;  // threads_ goes first and waits for every operation

    Status<SystemError> run() {
        for (;;) {
            auto datagram = receiveDatagram(channel_);
            if (!datagram) {
                return datagram.error().errorNumber == ECONNRESET
                           ? Status<SystemError>{}
                           : Unexpected(std::move(datagram).error());
            }
            auto envelope = decodeRequest(datagram->bytes, datagram->descriptor.valid());
            if (!envelope) {
                return systemError(EPROTO, "channel", channelErrorName(envelope.error()));
            }
            if (auto handled = handle(*envelope, std::move(datagram->descriptor)); !handled) {
                return handled;
            }
        }
    }

  private:
    Status<SystemError> handle(const Envelope<FrontRequest>& envelope, UniqueFd descriptor) {
        const std::uint64_t id = envelope.requestId;
        return std::visit(
            [&](const auto& request) { return handleRequest(id, request, std::move(descriptor)); },
            envelope.message);
    }

    Status<SystemError> handleRequest(std::uint64_t id, const OpenPeer&, UniqueFd connection) {
        if (peers_.size() >= maxOpenPeers) {
            return reply(id, failedLook(EMFILE));
        }
        if (!isOurConnection(connection.get())) {
            return reply(id, failedLook(EPERM));
        }
        std::optional<PeerProcess> peer = monitor_.lookUpPeer_(connection.get());
        if (!peer) {
            return reply(id, failedLook(ESRCH));
        }
        const std::uint64_t handle = nextHandle_++;
        auto& stored =
            peers_.emplace(handle, OpenedPeer{std::move(*peer), UniqueFd(), std::nullopt})
                .first->second;
        return replyWithLook(id, handle, stored);
    }

    Status<SystemError> handleRequest(std::uint64_t id, const InspectPeer& request, UniqueFd) {
        const auto found = peers_.find(request.peerHandle);
        if (found == peers_.end()) {
            return systemError(EPROTO, "channel", "unknown peer");
        }
        return replyWithLook(id, request.peerHandle, found->second);
    }

    Status<SystemError> handleRequest(std::uint64_t, const ReleasePeer& request, UniqueFd) {
        peers_.erase(request.peerHandle);
        return {};
    }

    // Written as the front's word: the text and the peer are what the front says they are,
    // as its lines on stderr always were; the log escapes the text like any other.
    Status<SystemError> handleRequest(std::uint64_t, const RefusalLine& request, UniqueFd) {
        monitor_.log_.log(LogPriority::error, request.text,
                          LogPeer{request.pid, static_cast<uid_t>(request.uid)});
        return {};
    }

    Status<SystemError> handleRequest(std::uint64_t id, const RemoveSystemPaths& request,
                                      UniqueFd blob) {
        auto bytes = attachedBytes(request.pathList, blob.get(), maxPathBlobSize);
        auto paths =
            bytes ? decodePathList(*bytes, request.pathCount) : Unexpected(ChannelError::pathList);
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

    // Runs the operation on a thread of its own, for a peer this session opened.
    Status<SystemError> start(std::uint64_t id, std::uint64_t peerHandle,
                              PrivilegedOperation operation) {
        const auto found = peers_.find(peerHandle);
        if (found == peers_.end()) {
            return systemError(EPROTO, "channel", "unknown peer");
        }
        // Admission vouched for one program; a peer that has exec'd another since (which
        // keeps its connection and its pid) gets nothing done, whatever the front says.
        const OpenedPeer& peer = found->second;
        const auto startTime =
            peer.admittedExecutable && stillRuns(peer.directory.get(), *peer.admittedExecutable)
                ? startTimeOf(peer.directory.get())
                : std::nullopt;
        if (!startTime) {
            OperationDone refused;
            refused.peerChanged = true;
            return reply(id, refused);
        }
        // A pidfd of the operation's own, open however long it takes (the front may release
        // the peer meanwhile).
        UniqueFd pidfd(::fcntl(peer.process.pidfd.get(), F_DUPFD_CLOEXEC, 0));
        if (!pidfd) {
            return reply(id, noResult());
        }
        try {
            auto requester = std::make_shared<const Requester>(
                Requester{std::move(pidfd), peer.process.pid, peer.process.uid, *startTime});
            if (!threads_.run(
                    [this, id, operation = std::move(operation), requester = std::move(requester)] {
                        finish(id, operation, *requester);
                    })) {
                return systemError(EPROTO, "channel", "too many operations");
            }
        } catch (const std::exception&) {
            // No thread could be started (out of memory or address space): this one
            // request gets no result, the monitor goes on.
            return reply(id, noResult());
        }
        return {};
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
        Expected<PeerEvidence, SystemError> evidence = inspectPeer(peer.process, monitor_.trust_);
        if (evidence && !peer.admittedExecutable) {
            peer.directory = openPeerDirectory(peer.process);
            if (!peer.directory) {
                return reply(id, failedLook(errno == EMFILE ? EMFILE : ESRCH, handle));
            }
            peer.admittedExecutable = identityOf(evidence->executable.get());
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
        const std::lock_guard lock(sendMutex_);
        auto sent = sendDatagram(channel_, bytes, carriesDescriptor(message) ? fd : -1);
        // A front that went away mid-operation is the supervisor's business, not an error
        // of this conversation.
        if (!sent && sent.error().errorNumber == EPIPE) {
            return {};
        }
        return sent;
    }

    bool isOurConnection(int fd) const {
        sockaddr_un address{};
        socklen_t length = sizeof address;
        int type = 0;
        socklen_t typeLength = sizeof type;
        return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 &&
               type == SOCK_STREAM &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
               length == monitor_.listeningAddressLength_ &&
               std::memcmp(&address, &monitor_.listeningAddress_, length) == 0;
    }

    Monitor& monitor_;
    int channel_;
    std::unordered_map<std::uint64_t, OpenedPeer> peers_;
    std::uint64_t nextHandle_ = 1;
    std::mutex sendMutex_;
    // Last: destroyed first, it waits for the operations, which use everything above.
    OperationThreads threads_{maxRunningOperations, maxIdleOperationThreads};
};

Monitor::Monitor(LogSink& log, PrivilegedOperations& operations, const CodeTrust& trust,
                 int listeningSocket, PeerLookup lookUpPeer)
    : log_(log), operations_(operations), trust_(trust), lookUpPeer_(lookUpPeer) {
    listeningAddressLength_ = sizeof listeningAddress_;
    if (::getsockname(listeningSocket, reinterpret_cast<sockaddr*>(&listeningAddress_),
                      &listeningAddressLength_) != 0) {
        listeningAddressLength_ = 0;  // matches no connection
    }
}

Status<SystemError> Monitor::serve(int channelFd) {
    Session session(*this, channelFd);
    auto served = session.run();
    if (!served) {
        log_.log(LogPriority::error, "[TavelinHelper] Front bricht das Kanalprotokoll (" +
                                         served.error().describe() + ")");
    }
    return served;
}

}  // namespace tavelin
