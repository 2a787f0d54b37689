#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin::runner {

// What the update runner (tavelin-update-runner) tells the daemon that asked it to run the
// update tool, over one AF_UNIX SOCK_SEQPACKET connection: every message arrives whole and
// alone, so a message is one datagram and needs no length of its own. The daemon sends
// nothing; connecting is the request, and hanging up ends the run (the tool's process group
// is killed). The runner sends, in this order:
//
//   output       type 1, then 1..maxOutputBytes bytes of the tool's combined stdout and
//                stderr (any number of these)
//   then exactly one of
//   ended        type 2, then the tool's status: int32 little-endian, -1..255 (the exit
//                code, or the number of the signal that ended it; -1 when it was lost)
//   startFailed  type 3, then the errno of the failed start: int32 little-endian, 1..4095
//
// and then closes. Anything else is garbled: the daemon ends the conversation.

enum class FrameType : std::uint8_t { output = 1, ended = 2, startFailed = 3 };

// The most output bytes one message carries; the runner cuts longer chunks.
inline constexpr std::size_t maxOutputBytes = std::size_t{16} * 1024;
// The longest message there is: an output message of maxOutputBytes.
inline constexpr std::size_t maxFrameSize = 1 + maxOutputBytes;

// The ranges a status and an errno must be in.
inline constexpr std::int32_t lowestStatus = -1;
inline constexpr std::int32_t highestStatus = 255;
inline constexpr std::int32_t highestErrno = 4095;

// The messages, as sent. `bytes` must hold 1..maxOutputBytes bytes; `status` and
// `errorNumber` must lie in their ranges.
[[nodiscard]] std::string outputFrame(std::string_view bytes);
[[nodiscard]] std::string endedFrame(std::int32_t status);
[[nodiscard]] std::string startFailedFrame(std::int32_t errorNumber);

// One received message, checked: its type and, by type, the output it carries (a view
// into the datagram) or its number (the status, or the errno).
struct Frame {
    FrameType type = FrameType::output;
    std::string_view output;
    std::int32_t number = 0;
};

// Nothing when `datagram` is empty, of an unknown type, of the wrong size for its type,
// or carries a number outside its range.
[[nodiscard]] std::optional<Frame> decodeFrame(std::string_view datagram) noexcept;

}  // namespace tavelin::runner
