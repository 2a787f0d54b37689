#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TavelinPlatform/core/RefusalReason.h"
#include "TavelinShared/Expected.h"

// The messages between the unprivileged front and the root monitor, one fixed layout each.
// Every message is one SOCK_SEQPACKET datagram (see ChannelSocket.h) of a 16-byte header
// and a fixed body, all integers little-endian, plus at most one descriptor:
//
//   header   u32 type, u32 zero, u64 request id (the front's; echoed in the reply)
//
//   front -> monitor
//   1 acceptPeer         (no body): take the next connection waiting on the daemon's
//                        listening socket (the monitor accepts it, never the front)
//   2 releasePeer        u64 peer handle
//   3 removeSystemPaths  u64 peer handle, u32 path count, attachment: the path list
//   4 repairPermissions  u64 peer handle, attachment: the path
//   5 installUpdates     u64 peer handle
//   6 inspectPeer        u64 peer handle (a fresh look at an opened peer)
//   7 refusalLine        i32 pid, u32 uid, u32 reason (a RefusalReason), u32 length,
//                        that many bytes (at most maxRefusalLineBytes): a line about
//                        refusing a peer, for the monitor to log with the peer's pid, uid
//                        and the reason (no answer)
//
//   monitor -> front
//   101 peerOpened       i32 errno (0: opened), u64 peer handle, i32 pid, u32 uid,
//                        u32 gid, i32 tracer pid, u32 code finding (0: the code
//                        is the executable's)    fd: the executable (when opened)
//                        (the answer to inspectPeer; the first look pins the
//                        executable that every later operation checks)
//   103 peerAccepted     i32 errno (0: accepted; EAGAIN: nobody waiting), u64 peer
//                        handle, i32 pid, u32 uid, u32 gid   fd: the connection (when
//                        accepted) (the answer to acceptPeer)
//   102 operationDone    u8 outcome (0 failed, 1 succeeded, 2 no result could be made,
//                        3 refused: the peer runs another program than at admission),
//                        i64 freed bytes, attachment: the message
//
//   attachment           u32 length, then that many bytes when it is at most
//                        maxInlineAttachment, else none   fd: sealed blob of that length
//
// A path list blob is `count` times (u32 length, that many bytes). Decoding checks every
// length against the bytes present before using it, and refuses a datagram of another
// size than its type's layout, an unknown type, a non-zero reserved field, a descriptor
// where none belongs or none where one is needed.
namespace tavelin::channel {

inline constexpr std::size_t headerSize = 16;
// The longest datagram either side sends or accepts.
inline constexpr std::size_t maxDatagramSize = 4096;
// The most bytes an attachment carries inside its datagram (the longest fixed body before
// one is a removal's 16 bytes); longer ones travel in a sealed blob.
inline constexpr std::size_t maxInlineAttachment = maxDatagramSize - headerSize - 16;
// A removal names at most this many paths (the front refuses larger requests first).
inline constexpr std::uint32_t maxPathCount = 10000;
// The most bytes a path list or a single path blob may hold: 1 MiB of paths plus their
// length fields.
inline constexpr std::size_t maxPathBlobSize =
    std::size_t{1024} * 1024 + std::size_t{4} * maxPathCount;
// The most bytes of a result message in a blob.
inline constexpr std::size_t maxMessageBlobSize = std::size_t{2} * 1024 * 1024;
// The longest refusal line the front may hand the monitor to log (its longest is about
// 100 bytes).
inline constexpr std::size_t maxRefusalLineBytes = 1024;

enum class MessageType : std::uint32_t {
    acceptPeer = 1,
    releasePeer = 2,
    removeSystemPaths = 3,
    repairPermissions = 4,
    installUpdates = 5,
    inspectPeer = 6,
    refusalLine = 7,
    peerOpened = 101,
    operationDone = 102,
    peerAccepted = 103,
};

// Why a datagram was refused. The monitor treats every one as a front gone wrong.
enum class ChannelError {
    truncated,        // shorter than its type's layout
    overlong,         // longer than its type's layout
    unknownType,      // a type the receiver does not take
    reservedNotZero,  // the header's reserved field is not 0
    descriptorWrong,  // a descriptor missing, or one where none belongs
    pathCount,        // more than maxPathCount paths
    pathList,         // a path list whose lengths do not add up to its blob
    lineLength,       // a refusal line longer than maxRefusalLineBytes
    refusalReason,    // a refusal reason the receiver does not know
};

[[nodiscard]] std::string_view channelErrorName(ChannelError error) noexcept;

// Bytes that ride inside the datagram when they fit, sparing a memory file for the common
// short path or message, and in a sealed blob beside it otherwise (see SealedBlob.h).
struct Attachment {
    std::uint32_t length = 0;
    std::string inlineBytes;  // the bytes when they fit; empty when they are in a blob

    [[nodiscard]] bool inBlob() const noexcept { return length > maxInlineAttachment; }
    friend bool operator==(const Attachment&, const Attachment&) = default;
};

// --- front -> monitor ---
// The front never hands the monitor a connection: it asks the monitor to accept the next
// one, so every peer the monitor acts for connected to the daemon's own listening socket.
struct AcceptPeer {};
struct ReleasePeer {
    std::uint64_t peerHandle = 0;
};
struct RemoveSystemPaths {
    std::uint64_t peerHandle = 0;
    std::uint32_t pathCount = 0;
    Attachment pathList;  // encodePathList of the paths
};
struct RepairPermissions {
    std::uint64_t peerHandle = 0;
    Attachment path;
};
struct InstallUpdates {
    std::uint64_t peerHandle = 0;
};
struct InspectPeer {
    std::uint64_t peerHandle = 0;
};
// Only the front sees why a peer was refused; only the monitor can reach the journal's
// socket to record it with the peer's pid and uid (the front's own reading of them).
struct RefusalLine {
    std::int32_t pid = 0;
    std::uint32_t uid = 0;
    RefusalReason reason = RefusalReason::none;
    std::string text;  // unescaped; the monitor's log escapes it
};
using FrontRequest = std::variant<AcceptPeer, ReleasePeer, RemoveSystemPaths, RepairPermissions,
                                  InstallUpdates, InspectPeer, RefusalLine>;

// What each request demands and promises, in one table (ruleOf): the monitor checks it
// before any handler runs, the front before it sends.
struct RequestRule {
    bool namesPeer = false;              // carries a peer handle the monitor must know
    bool needsPinnedExecutable = false;  // only for a peer whose first look pinned its program
    bool answered = false;               // the monitor answers it; else nobody may wait for it
    bool mayCarryDescriptor = false;     // a sealed blob beside it (a long path or path list)
};

[[nodiscard]] RequestRule ruleOf(const FrontRequest& request);
// The handle a request names; 0 for one that names none.
[[nodiscard]] std::uint64_t peerHandleOf(const FrontRequest& request);

// --- monitor -> front ---
struct PeerOpened {
    std::int32_t errorNumber = 0;
    std::uint64_t peerHandle = 0;
    std::int32_t pid = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::int32_t tracerPid = 0;
    std::uint32_t codeFinding = 0;  // a PeerCodeFinding; anything but 0 refuses the peer
};
struct OperationDone {
    bool success = false;
    // No result could be made (out of memory, no thread for the operation): the client's
    // reply is then empty, and success, freed bytes and message are meaningless.
    bool noResult = false;
    std::int64_t freedBytes = 0;
    Attachment message;
    // Nothing was done: the peer no longer runs the program it was admitted with. The
    // connection is to be closed, not answered.
    bool peerChanged = false;
};
// A connection the monitor accepted, with the credentials the kernel recorded at connect()
// (the handle names the peer from then on).
struct PeerAccepted {
    std::int32_t errorNumber = 0;
    std::uint64_t peerHandle = 0;
    std::int32_t pid = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
};
using MonitorReply = std::variant<PeerOpened, OperationDone, PeerAccepted>;

// A decoded datagram: its request id and what it says.
template <typename Message>
struct Envelope {
    std::uint64_t requestId = 0;
    Message message;
};

// Whether a datagram of this message travels with a descriptor.
[[nodiscard]] bool carriesDescriptor(const FrontRequest& request);
[[nodiscard]] bool carriesDescriptor(const MonitorReply& reply);

[[nodiscard]] std::string encodeRequest(std::uint64_t requestId, const FrontRequest& request);
[[nodiscard]] std::string encodeReply(std::uint64_t requestId, const MonitorReply& reply);

// `hasDescriptor`: whether the datagram came with exactly one descriptor.
[[nodiscard]] Expected<Envelope<FrontRequest>, ChannelError> decodeRequest(std::string_view bytes,
                                                                           bool hasDescriptor);
[[nodiscard]] Expected<Envelope<MonitorReply>, ChannelError> decodeReply(std::string_view bytes,
                                                                         bool hasDescriptor);

// The bytes of a path list in order, wherever they are kept (PathListBlob.h reads a blob's
// a piece at a time).
class PathListBytes {
  public:
    PathListBytes() = default;
    PathListBytes(const PathListBytes&) = default;
    PathListBytes& operator=(const PathListBytes&) = default;
    PathListBytes(PathListBytes&&) = default;
    PathListBytes& operator=(PathListBytes&&) = default;
    virtual ~PathListBytes() = default;

    [[nodiscard]] virtual std::size_t remaining() const noexcept = 0;
    // The next `count` bytes into `out`; false when they cannot be had.
    [[nodiscard]] virtual bool read(char* out, std::size_t count) = 0;
};

// The blob of a path list, and its reading: exactly `count` paths filling the blob. Each
// length is checked against the bytes left before anything is made of it.
[[nodiscard]] std::string encodePathList(const std::vector<std::string>& paths);
[[nodiscard]] Expected<std::vector<std::string>, ChannelError> decodePathList(std::string_view blob,
                                                                              std::uint32_t count);
[[nodiscard]] Expected<std::vector<std::string>, ChannelError> decodePathList(PathListBytes& bytes,
                                                                              std::uint32_t count);

}  // namespace tavelin::channel
