#include "TavelinPlatform/ipc/Frame.h"

#include <utility>

#include "TavelinPlatform/core/ByteCodec.h"

namespace tavelin {
namespace {

constexpr std::string_view helperVersionText = "helperVersionWithReply:";
constexpr std::string_view performText = "performWithOperationJSON:reply:";

constexpr std::size_t callIdSize = 8;
constexpr std::size_t selectorLengthSize = 2;
// [type][call id][selector length]
constexpr std::size_t callFixedSize = callHeaderSize;
// [type][call id]
constexpr std::size_t replyFixedSize = 1 + callIdSize;

// A frame under construction: room for the length prefix, then the body. Building the
// body in place saves a copy per frame.
[[nodiscard]] std::string startFrame(std::size_t bodySize) {
    std::string frame;
    frame.reserve(frameHeaderSize + bodySize);
    frame.append(frameHeaderSize, '\0');
    return frame;
}

// Writes the body's length into the prefix. Precondition: the body fits the limit.
[[nodiscard]] std::string finishFrame(std::string frame) {
    storeUnsigned(frame.data(), frame.size() - frameHeaderSize, frameHeaderSize,
                  ByteOrder::bigEndian);
    return frame;
}

[[nodiscard]] std::optional<CallSelector> selectorFromText(std::string_view text) {
    if (text == helperVersionText) {
        return CallSelector::helperVersion;
    }
    if (text == performText) {
        return CallSelector::perform;
    }
    return std::nullopt;
}

// Checks that `body` is of type `expected`.
[[nodiscard]] Status<FrameError> expectType(std::string_view body, FrameType expected) {
    const auto type = frameTypeOf(body);
    if (!type) {
        return Unexpected(type.error());
    }
    if (*type != expected) {
        return Unexpected(FrameError::unexpectedType);
    }
    return {};
}

// The fixed fields and the selector of a CALL body.
struct CallHeader {
    std::uint64_t callId = 0;
    CallSelector selector = CallSelector::helperVersion;
    std::size_t argumentOffset = 0;
};

// Reads a CALL body's header from `arrived`, the start of a body of `length` bytes (all of
// it for a complete body), judging all it shows: the type, that the selector fits the
// body and is known, and the argument's length for that selector. Nothing while the bytes
// arrived decide nothing yet. decodeCall and judgeCallPrefix both read calls with it, so
// a prefix is never refused for what its whole frame would pass, nor the other way round.
[[nodiscard]] Expected<std::optional<CallHeader>, FrameError> readCallHeader(
    std::string_view arrived, std::size_t length) {
    if (arrived.empty()) {
        return std::nullopt;
    }
    if (auto typed = expectType(arrived, FrameType::call); !typed) {
        return Unexpected(typed.error());
    }
    if (arrived.size() < callFixedSize) {
        return std::nullopt;
    }
    CallHeader header;
    header.callId = loadUnsigned(arrived.data() + 1, callIdSize, ByteOrder::bigEndian);
    const auto selectorLength = static_cast<std::size_t>(
        loadUnsigned(arrived.data() + 1 + callIdSize, selectorLengthSize, ByteOrder::bigEndian));
    header.argumentOffset = callFixedSize + selectorLength;
    if (header.argumentOffset > length) {
        return Unexpected(FrameError::selectorOverrun);
    }
    if (arrived.size() < header.argumentOffset) {
        return std::nullopt;
    }
    const auto selector = selectorFromText(arrived.substr(callFixedSize, selectorLength));
    if (!selector) {
        return Unexpected(FrameError::unknownSelector);
    }
    header.selector = *selector;
    const std::size_t argumentLength = length - header.argumentOffset;
    if (header.selector == CallSelector::helperVersion && argumentLength != 0) {
        return Unexpected(FrameError::unexpectedArgument);
    }
    if (argumentLength > maxPerformArgumentBytes) {
        return Unexpected(FrameError::oversize);
    }
    return header;
}

}  // namespace

std::string_view selectorText(CallSelector selector) noexcept {
    switch (selector) {
        case CallSelector::helperVersion:
            return helperVersionText;
        case CallSelector::perform:
            return performText;
    }
    return {};
}

std::string_view frameErrorName(FrameError error) noexcept {
    switch (error) {
        case FrameError::zeroLength:
            return "zeroLength";
        case FrameError::oversize:
            return "oversize";
        case FrameError::truncated:
            return "truncated";
        case FrameError::unknownType:
            return "unknownType";
        case FrameError::unexpectedType:
            return "unexpectedType";
        case FrameError::selectorOverrun:
            return "selectorOverrun";
        case FrameError::unknownSelector:
            return "unknownSelector";
        case FrameError::unexpectedArgument:
            return "unexpectedArgument";
    }
    return "unknown";
}

std::string encodeHello() {
    std::string frame = startFrame(2);
    frame.push_back(static_cast<char>(FrameType::hello));
    frame.push_back(static_cast<char>(protocolVersion));
    return finishFrame(std::move(frame));
}

std::optional<std::string> encodeCall(const CallFrame& call) {
    const std::string_view selector = selectorText(call.selector);
    if (call.selector == CallSelector::helperVersion && !call.argument.empty()) {
        return std::nullopt;
    }
    if (call.argument.size() > maxPerformArgumentBytes) {
        return std::nullopt;
    }
    std::string frame = startFrame(callFixedSize + selector.size() + call.argument.size());
    frame.push_back(static_cast<char>(FrameType::call));
    appendUnsigned(frame, call.callId, callIdSize, ByteOrder::bigEndian);
    appendUnsigned(frame, selector.size(), selectorLengthSize, ByteOrder::bigEndian);
    frame.append(selector);
    frame.append(call.argument);
    return finishFrame(std::move(frame));
}

std::optional<std::string> encodeReply(const ReplyFrame& reply) {
    if (reply.answer.size() > maxFrameBody - replyFixedSize) {
        return std::nullopt;
    }
    std::string frame = startFrame(replyFixedSize + reply.answer.size());
    frame.push_back(static_cast<char>(FrameType::reply));
    appendUnsigned(frame, reply.callId, callIdSize, ByteOrder::bigEndian);
    frame.append(reply.answer);
    return finishFrame(std::move(frame));
}

Expected<FrameType, FrameError> frameTypeOf(std::string_view body) {
    if (body.empty()) {
        return Unexpected(FrameError::truncated);
    }
    const auto type = static_cast<unsigned char>(body[0]);
    switch (type) {
        case static_cast<unsigned char>(FrameType::hello):
            return FrameType::hello;
        case static_cast<unsigned char>(FrameType::call):
            return FrameType::call;
        case static_cast<unsigned char>(FrameType::reply):
            return FrameType::reply;
        default:
            return Unexpected(FrameError::unknownType);
    }
}

Expected<std::uint8_t, FrameError> decodeHello(std::string_view body) {
    if (auto typed = expectType(body, FrameType::hello); !typed) {
        return Unexpected(typed.error());
    }
    if (body.size() != 2) {
        return Unexpected(FrameError::truncated);
    }
    return static_cast<std::uint8_t>(body[1]);
}

Expected<CallFrame, FrameError> decodeCall(std::string body) {
    const auto header = readCallHeader(body, body.size());
    if (!header) {
        return Unexpected(header.error());
    }
    if (!*header) {
        return Unexpected(FrameError::truncated);  // the whole body is here: it is too short
    }
    const CallHeader& call = **header;
    body.erase(0, call.argumentOffset);
    return CallFrame{call.callId, call.selector, std::move(body)};
}

Expected<ReplyFrame, FrameError> decodeReply(std::string_view body) {
    if (auto typed = expectType(body, FrameType::reply); !typed) {
        return Unexpected(typed.error());
    }
    ByteReader reader(body.substr(1));
    const auto callId = reader.readUnsigned(callIdSize, ByteOrder::bigEndian);
    if (!callId) {
        return Unexpected(FrameError::truncated);
    }
    return ReplyFrame{*callId, std::string(reader.rest())};
}

void FrameReader::append(std::string_view bytes) {
    if (failed() || bytes.empty()) {
        return;
    }
    // Drop what was handed out already, so the buffer never grows by more than the
    // frame being assembled plus the newest chunk.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
    // Judge the leading length prefix now, before anyone waits for its body.
    const auto length = checkedLength();
    if (failed()) {
        buffer_.clear();
        buffer_.shrink_to_fit();
        start_ = 0;
        return;
    }
    if (length) {
        reserveFrame(*length);
    }
}

void FrameReader::reserveFrame(std::uint32_t length) {
    const std::size_t frameSize = frameHeaderSize + length;
    if (buffer_.capacity() >= start_ + frameSize) {
        return;
    }
    // Growing by doubling would hold up to twice a large frame, and both buffers at once
    // while it copies; the judged length says how much is coming.
    buffer_.erase(0, start_);
    start_ = 0;
    buffer_.reserve(frameSize);
}

std::optional<std::string> FrameReader::next() {
    const auto length = checkedLength();
    if (!length || buffered() - frameHeaderSize < *length) {
        if (failed()) {
            buffer_.clear();
            start_ = 0;
        }
        return std::nullopt;
    }
    const std::size_t frameEnd = start_ + frameHeaderSize + *length;
    const std::size_t rest = buffer_.size() - frameEnd;
    if (start_ != 0 || rest > *length) {
        // A small body before a longer rest: copying the body is the cheaper move.
        std::string body = buffer_.substr(start_ + frameHeaderSize, *length);
        start_ = frameEnd;
        if (start_ == buffer_.size()) {
            buffer_.clear();
            start_ = 0;
        }
        return body;
    }
    // The body leaves with the buffer, and at most as many bytes of the rest are copied.
    std::string tail = buffer_.substr(frameEnd);
    std::string body = std::move(buffer_);
    body.resize(frameEnd);
    body.erase(0, frameHeaderSize);
    buffer_ = std::move(tail);
    return body;
}

Status<FrameError> judgeCallPrefix(std::string_view prefix, std::uint32_t declaredLength) {
    if (const auto header = readCallHeader(prefix, declaredLength); !header) {
        return Unexpected(header.error());
    }
    return {};
}

std::optional<FrameReader::PartialFrame> FrameReader::partialFrame() const noexcept {
    if (failed() || buffered() < frameHeaderSize) {
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(
        loadUnsigned(buffer_.data() + start_, frameHeaderSize, ByteOrder::bigEndian));
    const std::size_t bodyBuffered = buffered() - frameHeaderSize;
    if (bodyBuffered >= length) {
        return std::nullopt;
    }
    return PartialFrame{length, std::string_view(buffer_).substr(start_ + frameHeaderSize)};
}

std::optional<std::uint32_t> FrameReader::checkedLength() {
    if (failed() || buffered() < frameHeaderSize) {
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(
        loadUnsigned(buffer_.data() + start_, frameHeaderSize, ByteOrder::bigEndian));
    if (length == 0) {
        state_ = Unexpected(FrameError::zeroLength);
        return std::nullopt;
    }
    if (length > maxBody_) {
        state_ = Unexpected(FrameError::oversize);
        return std::nullopt;
    }
    return length;
}

}  // namespace tavelin
