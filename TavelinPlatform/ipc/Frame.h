#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinShared/Expected.h"

namespace tavelin {

// The wire format both sides of the transport speak (docs/protocol.md has it byte for byte).
//
// Every frame is a 4-byte big-endian length L followed by L bytes of body, with
// 1 <= L <= maxFrameBody. Body byte 0 is the frame type:
//   HELLO  [0x01][protocol version]                                   daemon -> client
//   CALL   [0x02][call id u64 BE][selector length u16 BE][selector][argument]
//                                                                     client -> daemon
//   REPLY  [0x03][call id u64 BE][answer]                             daemon -> client

inline constexpr std::uint32_t maxFrameBody = 16U * 1024U * 1024U;
// The longest argument of a performWithOperationJSON:reply: call (the request JSON). A
// daemon refuses a longer one as soon as its frame's selector is in, and a client never
// sends one.
inline constexpr std::size_t maxPerformArgumentBytes = std::size_t{1024} * 1024;
// [type][call id u64][selector length u16]
inline constexpr std::size_t callHeaderSize = 1 + 8 + 2;
// The longest CALL body a daemon reads: a perform call with the longest argument.
inline constexpr std::uint32_t maxCallBody =
    static_cast<std::uint32_t>(callHeaderSize + 31 + maxPerformArgumentBytes);
inline constexpr std::size_t frameHeaderSize = 4;
inline constexpr std::uint8_t protocolVersion = 1;

enum class FrameType : std::uint8_t {
    hello = 0x01,
    call = 0x02,
    reply = 0x03,
};

// The two calls an admitted client can make.
enum class CallSelector {
    helperVersion,  // "helperVersionWithReply:", no argument
    perform,        // "performWithOperationJSON:reply:", argument = request JSON bytes
};

// The selector's wire text, e.g. "helperVersionWithReply:".
[[nodiscard]] std::string_view selectorText(CallSelector selector) noexcept;

// Why a byte stream or a frame body was refused. Every one of them ends the connection.
enum class FrameError {
    zeroLength,          // a length prefix of 0
    oversize,            // a length prefix above maxFrameBody (or the reader's own limit)
    truncated,           // a body too short for the fixed fields of its type
    unknownType,         // a type byte that is not HELLO, CALL or REPLY
    unexpectedType,      // a known type where another was expected (e.g. a REPLY sent
                         // to the daemon)
    selectorOverrun,     // a CALL whose selector length runs past the end of the body
    unknownSelector,     // a selector other than the two known ones
    unexpectedArgument,  // helperVersionWithReply: with a non-empty argument
};

// The error's name as written in code, e.g. "oversize"; for messages and test output.
[[nodiscard]] std::string_view frameErrorName(FrameError error) noexcept;

struct CallFrame {
    std::uint64_t callId = 0;
    CallSelector selector = CallSelector::helperVersion;
    std::string argument;

    friend bool operator==(const CallFrame&, const CallFrame&) = default;
};

struct ReplyFrame {
    std::uint64_t callId = 0;
    std::string answer;

    friend bool operator==(const ReplyFrame&, const ReplyFrame&) = default;
};

// --- encoding: each returns the complete frame, length prefix included ---

[[nodiscard]] std::string encodeHello();
// Nothing when a perform argument exceeds maxPerformArgumentBytes, or when a helperVersion
// call is given an argument.
[[nodiscard]] std::optional<std::string> encodeCall(const CallFrame& call);
// Nothing when the body would exceed maxFrameBody.
[[nodiscard]] std::optional<std::string> encodeReply(const ReplyFrame& reply);

// --- decoding of one frame body (as FrameReader::next hands it out) ---

// The body's type byte; unknownType for an unknown one, truncated for an empty body.
[[nodiscard]] Expected<FrameType, FrameError> frameTypeOf(std::string_view body);
// The protocol version a HELLO announces. Fails unless the body is exactly 2 bytes of type
// HELLO (the version itself is not judged here).
[[nodiscard]] Expected<std::uint8_t, FrameError> decodeHello(std::string_view body);
// A CALL with one of the two known selectors; helperVersion calls must have no argument,
// perform calls one of at most maxPerformArgumentBytes (oversize otherwise). Judged as
// judgeCallPrefix judges a part of it. The argument is the body's own buffer, its header
// cut off in place: a 1 MiB request is not copied once more.
[[nodiscard]] Expected<CallFrame, FrameError> decodeCall(std::string body);
[[nodiscard]] Expected<ReplyFrame, FrameError> decodeReply(std::string_view body);

// Judges a CALL whose body has only partly arrived, from the `declaredLength` of its body
// and the `prefix` received so far, as soon as the prefix shows enough: a type other than
// CALL, an unknown selector, a helperVersion call with an argument, or a perform argument
// longer than maxPerformArgumentBytes fails at once; anything undecided yet passes.
[[nodiscard]] Status<FrameError> judgeCallPrefix(std::string_view prefix,
                                                 std::uint32_t declaredLength);

// Cuts a received byte stream into frame bodies. Feed it whatever recv() returned, then
// take complete bodies out with next() until it has none.
//
// A length prefix is judged as soon as its 4 bytes are in: a zero or oversize length puts
// the reader into the failed state before a byte of that body is kept, so a peer can never
// make us hold more than one chunk beyond one maximal frame. A failed reader stays failed
// and ignores further input. Not thread-safe; one reader per direction of a connection.
class FrameReader {
  public:
    explicit FrameReader(std::uint32_t maxBody = maxFrameBody) noexcept : maxBody_(maxBody) {}

    void append(std::string_view bytes);

    // The next complete body, or nothing when more bytes are needed or the reader failed.
    // A body that does not share the buffer with a longer rest is handed out as the buffer
    // itself, not copied.
    [[nodiscard]] std::optional<std::string> next();

    [[nodiscard]] bool failed() const noexcept { return !state_.has_value(); }
    // Precondition: failed().
    [[nodiscard]] FrameError error() const noexcept { return state_.error(); }

    // True when no part of a frame is buffered: end of stream here is a clean close.
    [[nodiscard]] bool atFrameBoundary() const noexcept { return buffered() == 0; }

    // The bytes held, handed out or not; what the reader costs in memory.
    [[nodiscard]] std::size_t bufferedBytes() const noexcept { return buffered(); }

    // The frame being assembled: its declared body length and the part of its body that
    // has arrived. Nothing when no length prefix is complete or a whole frame is waiting.
    struct PartialFrame {
        std::uint32_t declaredLength = 0;
        std::string_view bodyPrefix;
    };
    [[nodiscard]] std::optional<PartialFrame> partialFrame() const noexcept;

  private:
    [[nodiscard]] std::size_t buffered() const noexcept { return buffer_.size() - start_; }
    // Judges the length prefix at start_ if all 4 bytes are there; returns it if valid.
    [[nodiscard]] std::optional<std::uint32_t> checkedLength();
    // Room for the whole frame at start_, of a judged `length`, in one allocation.
    void reserveFrame(std::uint32_t length);

    std::uint32_t maxBody_;
    std::string buffer_;
    std::size_t start_ = 0;     // bytes of buffer_ before start_ were already handed out
    Status<FrameError> state_;  // fails for good with the first refused length
};

}  // namespace tavelin
