#include "Frame.h"

#include <utility>

namespace tavelin {
namespace {

constexpr std::string_view helperVersionText = "helperVersionWithReply:";
constexpr std::string_view performText = "performWithOperationJSON:reply:";

constexpr std::size_t callIdSize = 8;
constexpr std::size_t selectorLengthSize = 2;
// [type][call id][selector length]
constexpr std::size_t callFixedSize = 1 + callIdSize + selectorLengthSize;
// [type][call id]
constexpr std::size_t replyFixedSize = 1 + callIdSize;

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = bytes; i > 0; --i) {
        out.push_back(static_cast<char>((value >> (8 * (i - 1))) & 0xFFU));
    }
}

[[nodiscard]] std::uint64_t readBigEndian(std::string_view bytes, std::size_t offset,
                                          std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

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
    const std::size_t bodySize = frame.size() - frameHeaderSize;
    for (std::size_t i = 0; i < frameHeaderSize; ++i) {
        frame[i] = static_cast<char>((bodySize >> (8 * (frameHeaderSize - 1 - i))) & 0xFFU);
    }
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

// Checks that `body` is of type `expected`; the error to report otherwise.
[[nodiscard]] std::optional<FrameError> expectType(std::string_view body, FrameType expected) {
    const auto type = frameTypeOf(body);
    if (const auto* error = std::get_if<FrameError>(&type)) {
        return *error;
    }
    if (std::get<FrameType>(type) != expected) {
        return FrameError::unexpectedType;
    }
    return std::nullopt;
}

}  // namespace

std::string_view selectorText(CallSelector selector) noexcept {
    switch (selector) {
        case CallSelector::helperVersion: return helperVersionText;
        case CallSelector::perform: return performText;
    }
    return {};
}

std::string_view frameErrorName(FrameError error) noexcept {
    switch (error) {
        case FrameError::zeroLength: return "zeroLength";
        case FrameError::oversize: return "oversize";
        case FrameError::truncated: return "truncated";
        case FrameError::unknownType: return "unknownType";
        case FrameError::unexpectedType: return "unexpectedType";
        case FrameError::selectorOverrun: return "selectorOverrun";
        case FrameError::unknownSelector: return "unknownSelector";
        case FrameError::unexpectedArgument: return "unexpectedArgument";
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
    if (call.argument.size() > maxFrameBody - callFixedSize - selector.size()) {
        return std::nullopt;
    }
    std::string frame = startFrame(callFixedSize + selector.size() + call.argument.size());
    frame.push_back(static_cast<char>(FrameType::call));
    appendBigEndian(frame, call.callId, callIdSize);
    appendBigEndian(frame, selector.size(), selectorLengthSize);
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
    appendBigEndian(frame, reply.callId, callIdSize);
    frame.append(reply.answer);
    return finishFrame(std::move(frame));
}

std::variant<FrameType, FrameError> frameTypeOf(std::string_view body) {
    if (body.empty()) {
        return FrameError::truncated;
    }
    const auto type = static_cast<unsigned char>(body[0]);
    switch (type) {
        case static_cast<unsigned char>(FrameType::hello): return FrameType::hello;
        case static_cast<unsigned char>(FrameType::call): return FrameType::call;
        case static_cast<unsigned char>(FrameType::reply): return FrameType::reply;
        default: return FrameError::unknownType;
    }
}

std::variant<std::uint8_t, FrameError> decodeHello(std::string_view body) {
    if (const auto error = expectType(body, FrameType::hello)) {
        return *error;
    }
    if (body.size() != 2) {
        return FrameError::truncated;
    }
    return static_cast<std::uint8_t>(body[1]);
}

std::variant<CallFrame, FrameError> decodeCall(std::string_view body) {
    if (const auto error = expectType(body, FrameType::call)) {
        return *error;
    }
    if (body.size() < callFixedSize) {
        return FrameError::truncated;
    }
    const auto selectorLength = readBigEndian(body, 1 + callIdSize, selectorLengthSize);
    if (selectorLength > body.size() - callFixedSize) {
        return FrameError::selectorOverrun;
    }
    const auto selector = selectorFromText(body.substr(callFixedSize, selectorLength));
    if (!selector) {
        return FrameError::unknownSelector;
    }
    CallFrame call;
    call.callId = readBigEndian(body, 1, callIdSize);
    call.selector = *selector;
    call.argument = std::string(body.substr(callFixedSize + selectorLength));
    if (call.selector == CallSelector::helperVersion && !call.argument.empty()) {
        return FrameError::unexpectedArgument;
    }
    return call;
}

std::variant<ReplyFrame, FrameError> decodeReply(std::string_view body) {
    if (const auto error = expectType(body, FrameType::reply)) {
        return *error;
    }
    if (body.size() < replyFixedSize) {
        return FrameError::truncated;
    }
    ReplyFrame reply;
    reply.callId = readBigEndian(body, 1, callIdSize);
    reply.answer = std::string(body.substr(replyFixedSize));
    return reply;
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
    (void)checkedLength();
    if (failed()) {
        buffer_.clear();
        buffer_.shrink_to_fit();
        start_ = 0;
    }
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
    std::string body = buffer_.substr(start_ + frameHeaderSize, *length);
    start_ += frameHeaderSize + *length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return body;
}

std::optional<std::uint32_t> FrameReader::checkedLength() {
    if (failed() || buffered() < frameHeaderSize) {
        return std::nullopt;
    }
    const auto length =
        static_cast<std::uint32_t>(readBigEndian(buffer_, start_, frameHeaderSize));
    if (length == 0) {
        error_ = FrameError::zeroLength;
        return std::nullopt;
    }
    if (length > maxBody_) {
        error_ = FrameError::oversize;
        return std::nullopt;
    }
    return length;
}

}  // namespace tavelin
