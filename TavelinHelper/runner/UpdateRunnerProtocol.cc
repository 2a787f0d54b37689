#include "TavelinHelper/runner/UpdateRunnerProtocol.h"

#include "TavelinPlatform/core/ByteCodec.h"

namespace tavelin::runner {

namespace {

constexpr std::size_t numberWidth = 4;
constexpr std::size_t numberFrameSize = 1 + numberWidth;

std::string numberFrame(FrameType type, std::int32_t number) {
    std::string frame(1, static_cast<char>(type));
    appendUnsigned(frame, static_cast<std::uint32_t>(number), numberWidth, ByteOrder::littleEndian);
    return frame;
}

std::int32_t numberOf(std::string_view datagram) noexcept {
    const auto raw = static_cast<std::uint32_t>(
        loadUnsigned(datagram.data() + 1, numberWidth, ByteOrder::littleEndian));
    return static_cast<std::int32_t>(raw);
}

}  // namespace

std::string outputFrame(std::string_view bytes) {
    std::string frame(1, static_cast<char>(FrameType::output));
    frame.append(bytes);
    return frame;
}

std::string endedFrame(std::int32_t status) {
    return numberFrame(FrameType::ended, status);
}

std::string startFailedFrame(std::int32_t errorNumber) {
    return numberFrame(FrameType::startFailed, errorNumber);
}

std::optional<Frame> decodeFrame(std::string_view datagram) noexcept {
    if (datagram.empty() || datagram.size() > maxFrameSize) {
        return std::nullopt;
    }
    Frame frame;
    frame.type = static_cast<FrameType>(datagram.front());
    switch (frame.type) {
        case FrameType::output:
            if (datagram.size() < 2) {
                return std::nullopt;
            }
            frame.output = datagram.substr(1);
            return frame;
        case FrameType::ended:
        case FrameType::startFailed: {
            if (datagram.size() != numberFrameSize) {
                return std::nullopt;
            }
            frame.number = numberOf(datagram);
            const bool ended = frame.type == FrameType::ended;
            const std::int32_t lowest = ended ? lowestStatus : 1;
            const std::int32_t highest = ended ? highestStatus : highestErrno;
            if (frame.number < lowest || frame.number > highest) {
                return std::nullopt;
            }
            return frame;
        }
    }
    return std::nullopt;
}

}  // namespace tavelin::runner
