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
// Nothing when the body would exceed maxFrameBody, or when a helperVersion call is given
// an argument.
[[nodiscard]] std::optional<std::string> encodeCall(const CallFrame& call);
// Nothing when the body would exceed maxFrameBody.
[[nodiscard]] std::optional<std::string> encodeReply(const ReplyFrame& reply);

// --- decoding of one frame body (as FrameReader::next hands it out) ---

// The body's type byte; unknownType for an unknown one, truncated for an empty body.
[[nodiscard]] Expected<FrameType, FrameError> frameTypeOf(std::string_view body);
// The protocol version a HELLO announces. Fails unless the body is exactly 2 bytes of type
// HELLO (the version itself is not judged here).
[[nodiscard]] Expected<std::uint8_t, FrameError> decodeHello(std::string_view body);
// A CALL with one of the two known selectors; helperVersion calls must have no argument.
[[nodiscard]] Expected<CallFrame, FrameError> decodeCall(std::string_view body);
[[nodiscard]] Expected<ReplyFrame, FrameError> decodeReply(std::string_view body);

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
    [[nodiscard]] std::optional<std::string> next();

    [[nodiscard]] bool failed() const noexcept { return !state_.has_value(); }
    // Precondition: failed().
    [[nodiscard]] FrameError error() const noexcept { return state_.error(); }

    // True when no part of a frame is buffered: end of stream here is a clean close.
    [[nodiscard]] bool atFrameBoundary() const noexcept { return buffered() == 0; }

  private:
    [[nodiscard]] std::size_t buffered() const noexcept { return buffer_.size() - start_; }
    // Judges the length prefix at start_ if all 4 bytes are there; returns it if valid.
    [[nodiscard]] std::optional<std::uint32_t> checkedLength();

    std::uint32_t maxBody_;
    std::string buffer_;
    std::size_t start_ = 0;     // bytes of buffer_ before start_ were already handed out
    Status<FrameError> state_;  // fails for good with the first refused length
};

}  // namespace tavelin
