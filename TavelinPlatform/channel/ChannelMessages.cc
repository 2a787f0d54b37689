#include "TavelinPlatform/channel/ChannelMessages.h"

#include <optional>
#include <type_traits>
#include <variant>

#include "TavelinPlatform/core/ByteCodec.h"
#include "TavelinShared/internal/Overloaded.h"

namespace tavelin::channel {

namespace {

constexpr ByteOrder order = ByteOrder::littleEndian;

void put(std::string& out, std::uint64_t value, std::size_t width) {
    appendUnsigned(out, value, width, order);
}

std::string header(MessageType type, std::uint64_t requestId) {
    std::string out;
    out.reserve(headerSize + 32);
    put(out, static_cast<std::uint32_t>(type), 4);
    put(out, 0, 4);
    put(out, requestId, 8);
    return out;
}

// A message whose body is the peer handle alone.
std::string withHandle(MessageType type, std::uint64_t requestId, std::uint64_t peerHandle) {
    std::string out = header(type, requestId);
    put(out, peerHandle, 8);
    return out;
}

void putAttachment(std::string& out, const Attachment& attachment) {
    put(out, attachment.length, 4);
    if (!attachment.inBlob()) {
        out += attachment.inlineBytes;
    }
}

// Reads one body field after another; `complete` checks that nothing is missing or left.
class BodyReader {
  public:
    explicit BodyReader(std::string_view body) : reader_(body) {}

    std::uint64_t take(std::size_t width) {
        const auto value = reader_.readUnsigned(width, order);
        missing_ = missing_ || !value;
        return value.value_or(0);
    }
    std::int32_t takeSigned32() {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(take(4)));
    }
    // A length and that many bytes, last in its body; nullopt when the length is over `max`.
    std::optional<std::string> takeBytes(std::size_t max) {
        const std::uint64_t length = take(4);
        if (length > max) {
            return std::nullopt;
        }
        const auto bytes = reader_.readBytes(length);
        missing_ = missing_ || !bytes;
        return std::string(bytes.value_or(std::string_view()));
    }
    // An attachment, last in its body: inline bytes must be exactly its length.
    Attachment takeAttachment() {
        Attachment attachment{static_cast<std::uint32_t>(take(4)), {}};
        if (!attachment.inBlob()) {
            const auto bytes = reader_.readBytes(attachment.length);
            missing_ = missing_ || !bytes;
            attachment.inlineBytes = std::string(bytes.value_or(std::string_view()));
        }
        return attachment;
    }

    [[nodiscard]] Status<ChannelError> complete() {
        if (missing_) {
            return Unexpected(ChannelError::truncated);
        }
        if (reader_.remaining() != 0) {
            return Unexpected(ChannelError::overlong);
        }
        return {};
    }

  private:
    ByteReader reader_;
    bool missing_ = false;
};

struct Header {
    std::uint32_t type = 0;
    std::uint64_t requestId = 0;
};

Expected<Header, ChannelError> readHeader(ByteReader& reader) {
    const auto type = reader.readUnsigned(4, order);
    const auto reserved = reader.readUnsigned(4, order);
    const auto requestId = reader.readUnsigned(8, order);
    if (!type || !reserved || !requestId) {
        return Unexpected(ChannelError::truncated);
    }
    if (*reserved != 0) {
        return Unexpected(ChannelError::reservedNotZero);
    }
    return Header{static_cast<std::uint32_t>(*type), *requestId};
}

template <typename Message>
Expected<Envelope<Message>, ChannelError> finish(std::uint64_t requestId, Message message,
                                                 BodyReader& body, bool hasDescriptor) {
    if (auto complete = body.complete(); !complete) {
        return Unexpected(complete.error());
    }
    if (carriesDescriptor(message) != hasDescriptor) {
        return Unexpected(ChannelError::descriptorWrong);
    }
    return Envelope<Message>{requestId, std::move(message)};
}

// The rule table, a row per request; a request without a row does not compile.
template <typename Request>
struct RuleRow {
    static_assert(sizeof(Request) == 0, "every request needs a row in the rule table");
};
// clang-format off
//                                                                  peer   pinned answered blob
template <> struct RuleRow<AcceptPeer>        { static constexpr RequestRule rule{false, false, true,  false}; };
template <> struct RuleRow<InspectPeer>       { static constexpr RequestRule rule{true,  false, true,  false}; };
template <> struct RuleRow<ReleasePeer>       { static constexpr RequestRule rule{true,  false, false, false}; };
template <> struct RuleRow<RemoveSystemPaths> { static constexpr RequestRule rule{true,  true,  true,  true};  };
template <> struct RuleRow<RepairPermissions> { static constexpr RequestRule rule{true,  true,  true,  true};  };
template <> struct RuleRow<InstallUpdates>    { static constexpr RequestRule rule{true,  true,  true,  false}; };
template <> struct RuleRow<RefusalLine>       { static constexpr RequestRule rule{false, false, false, false}; };
// clang-format on

}  // namespace

std::string_view channelErrorName(ChannelError error) noexcept {
    switch (error) {
        case ChannelError::truncated:
            return "truncated";
        case ChannelError::overlong:
            return "overlong";
        case ChannelError::unknownType:
            return "unknownType";
        case ChannelError::reservedNotZero:
            return "reservedNotZero";
        case ChannelError::descriptorWrong:
            return "descriptorWrong";
        case ChannelError::pathCount:
            return "pathCount";
        case ChannelError::pathList:
            return "pathList";
        case ChannelError::lineLength:
            return "lineLength";
        case ChannelError::refusalReason:
            return "refusalReason";
    }
    return "unknown";
}

RequestRule ruleOf(const FrontRequest& request) {
    return std::visit([](const auto& each) { return RuleRow<std::decay_t<decltype(each)>>::rule; },
                      request);
}

std::uint64_t peerHandleOf(const FrontRequest& request) {
    return std::visit(
        Overloaded{[](const AcceptPeer&) -> std::uint64_t { return 0; },
                   [](const RefusalLine&) -> std::uint64_t { return 0; },
                   [](const auto& named) -> std::uint64_t { return named.peerHandle; }},
        request);
}

bool carriesDescriptor(const FrontRequest& request) {
    return std::visit(
        Overloaded{
            [](const RemoveSystemPaths& removal) { return removal.pathList.inBlob(); },
            [](const RepairPermissions& repair) { return repair.path.inBlob(); },
            [](const AcceptPeer&) { return false; }, [](const ReleasePeer&) { return false; },
            [](const InstallUpdates&) { return false; }, [](const InspectPeer&) { return false; },
            [](const RefusalLine&) { return false; }},
        request);
}

bool carriesDescriptor(const MonitorReply& reply) {
    return std::visit(
        Overloaded{[](const PeerOpened& opened) { return opened.errorNumber == 0; },
                   [](const PeerAccepted& accepted) { return accepted.errorNumber == 0; },
                   [](const OperationDone& done) { return done.message.inBlob(); }},
        reply);
}

std::string encodeRequest(std::uint64_t requestId, const FrontRequest& request) {
    return std::visit(
        Overloaded{[&](const AcceptPeer&) { return header(MessageType::acceptPeer, requestId); },
                   [&](const ReleasePeer& release) {
                       return withHandle(MessageType::releasePeer, requestId, release.peerHandle);
                   },
                   [&](const RemoveSystemPaths& removal) {
                       std::string out = withHandle(MessageType::removeSystemPaths, requestId,
                                                    removal.peerHandle);
                       put(out, removal.pathCount, 4);
                       putAttachment(out, removal.pathList);
                       return out;
                   },
                   [&](const RepairPermissions& repair) {
                       std::string out =
                           withHandle(MessageType::repairPermissions, requestId, repair.peerHandle);
                       putAttachment(out, repair.path);
                       return out;
                   },
                   [&](const InstallUpdates& update) {
                       return withHandle(MessageType::installUpdates, requestId, update.peerHandle);
                   },
                   [&](const InspectPeer& inspect) {
                       return withHandle(MessageType::inspectPeer, requestId, inspect.peerHandle);
                   },
                   [&](const RefusalLine& refusal) {
                       std::string out = header(MessageType::refusalLine, requestId);
                       put(out, static_cast<std::uint32_t>(refusal.pid), 4);
                       put(out, refusal.uid, 4);
                       put(out, static_cast<std::uint32_t>(refusal.reason), 4);
                       put(out, refusal.text.size(), 4);
                       out += refusal.text;
                       return out;
                   }},
        request);
}

std::string encodeReply(std::uint64_t requestId, const MonitorReply& reply) {
    return std::visit(
        Overloaded{[&](const PeerOpened& opened) {
                       std::string out = header(MessageType::peerOpened, requestId);
                       put(out, static_cast<std::uint32_t>(opened.errorNumber), 4);
                       put(out, opened.peerHandle, 8);
                       put(out, static_cast<std::uint32_t>(opened.pid), 4);
                       put(out, opened.uid, 4);
                       put(out, opened.gid, 4);
                       put(out, static_cast<std::uint32_t>(opened.tracerPid), 4);
                       put(out, opened.codeFinding, 4);
                       return out;
                   },
                   [&](const PeerAccepted& accepted) {
                       std::string out = header(MessageType::peerAccepted, requestId);
                       put(out, static_cast<std::uint32_t>(accepted.errorNumber), 4);
                       put(out, accepted.peerHandle, 8);
                       put(out, static_cast<std::uint32_t>(accepted.pid), 4);
                       put(out, accepted.uid, 4);
                       put(out, accepted.gid, 4);
                       return out;
                   },
                   [&](const OperationDone& done) {
                       std::string out = header(MessageType::operationDone, requestId);
                       put(out, done.peerChanged ? 3 : (done.noResult ? 2 : (done.success ? 1 : 0)),
                           1);
                       put(out, static_cast<std::uint64_t>(done.freedBytes), 8);
                       putAttachment(out, done.message);
                       return out;
                   }},
        reply);
}

Expected<Envelope<FrontRequest>, ChannelError> decodeRequest(std::string_view bytes,
                                                             bool hasDescriptor) {
    ByteReader reader(bytes);
    const auto head = readHeader(reader);
    if (!head) {
        return Unexpected(head.error());
    }
    BodyReader body(reader.rest());
    switch (static_cast<MessageType>(head->type)) {
        case MessageType::acceptPeer:
            return finish<FrontRequest>(head->requestId, AcceptPeer{}, body, hasDescriptor);
        case MessageType::releasePeer:
            return finish<FrontRequest>(head->requestId, ReleasePeer{body.take(8)}, body,
                                        hasDescriptor);
        case MessageType::removeSystemPaths: {
            RemoveSystemPaths removal;
            removal.peerHandle = body.take(8);
            removal.pathCount = static_cast<std::uint32_t>(body.take(4));
            removal.pathList = body.takeAttachment();
            if (removal.pathCount > maxPathCount) {
                return Unexpected(ChannelError::pathCount);
            }
            return finish<FrontRequest>(head->requestId, std::move(removal), body, hasDescriptor);
        }
        case MessageType::repairPermissions: {
            RepairPermissions repair;
            repair.peerHandle = body.take(8);
            repair.path = body.takeAttachment();
            return finish<FrontRequest>(head->requestId, std::move(repair), body, hasDescriptor);
        }
        case MessageType::installUpdates:
            return finish<FrontRequest>(head->requestId, InstallUpdates{body.take(8)}, body,
                                        hasDescriptor);
        case MessageType::inspectPeer:
            return finish<FrontRequest>(head->requestId, InspectPeer{body.take(8)}, body,
                                        hasDescriptor);
        case MessageType::refusalLine: {
            RefusalLine refusal;
            refusal.pid = body.takeSigned32();
            refusal.uid = static_cast<std::uint32_t>(body.take(4));
            const std::uint64_t reason = body.take(4);
            if (reason > static_cast<std::uint64_t>(lastRefusalReason)) {
                return Unexpected(ChannelError::refusalReason);
            }
            refusal.reason = static_cast<RefusalReason>(reason);
            auto text = body.takeBytes(maxRefusalLineBytes);
            if (!text) {
                return Unexpected(ChannelError::lineLength);
            }
            refusal.text = std::move(text).value();
            return finish<FrontRequest>(head->requestId, std::move(refusal), body, hasDescriptor);
        }
        case MessageType::peerOpened:
        case MessageType::operationDone:
        case MessageType::peerAccepted:
            return Unexpected(ChannelError::unknownType);  // the monitor's, never the front's
    }
    return Unexpected(ChannelError::unknownType);  // a number no type has
}

Expected<Envelope<MonitorReply>, ChannelError> decodeReply(std::string_view bytes,
                                                           bool hasDescriptor) {
    ByteReader reader(bytes);
    const auto head = readHeader(reader);
    if (!head) {
        return Unexpected(head.error());
    }
    BodyReader body(reader.rest());
    switch (static_cast<MessageType>(head->type)) {
        case MessageType::peerOpened: {
            PeerOpened opened;
            opened.errorNumber = body.takeSigned32();
            opened.peerHandle = body.take(8);
            opened.pid = body.takeSigned32();
            opened.uid = static_cast<std::uint32_t>(body.take(4));
            opened.gid = static_cast<std::uint32_t>(body.take(4));
            opened.tracerPid = body.takeSigned32();
            opened.codeFinding = static_cast<std::uint32_t>(body.take(4));
            return finish<MonitorReply>(head->requestId, opened, body, hasDescriptor);
        }
        case MessageType::peerAccepted: {
            PeerAccepted accepted;
            accepted.errorNumber = body.takeSigned32();
            accepted.peerHandle = body.take(8);
            accepted.pid = body.takeSigned32();
            accepted.uid = static_cast<std::uint32_t>(body.take(4));
            accepted.gid = static_cast<std::uint32_t>(body.take(4));
            return finish<MonitorReply>(head->requestId, accepted, body, hasDescriptor);
        }
        case MessageType::operationDone: {
            OperationDone done;
            const std::uint64_t outcome = body.take(1);
            if (outcome > 3) {
                return Unexpected(ChannelError::reservedNotZero);
            }
            done.success = outcome == 1;
            done.noResult = outcome == 2;
            done.peerChanged = outcome == 3;
            done.freedBytes = static_cast<std::int64_t>(body.take(8));
            done.message = body.takeAttachment();
            return finish<MonitorReply>(head->requestId, std::move(done), body, hasDescriptor);
        }
        case MessageType::acceptPeer:
        case MessageType::releasePeer:
        case MessageType::removeSystemPaths:
        case MessageType::repairPermissions:
        case MessageType::installUpdates:
        case MessageType::inspectPeer:
        case MessageType::refusalLine:
            return Unexpected(ChannelError::unknownType);  // the front's, never the monitor's
    }
    return Unexpected(ChannelError::unknownType);  // a number no type has
}

std::string encodePathList(const std::vector<std::string>& paths) {
    std::string out;
    for (const std::string& path : paths) {
        put(out, path.size(), 4);
        out += path;
    }
    return out;
}

namespace {

// The bytes of a list held whole.
class HeldBytes final : public PathListBytes {
  public:
    explicit HeldBytes(std::string_view bytes) noexcept : bytes_(bytes) {}

    [[nodiscard]] std::size_t remaining() const noexcept override { return bytes_.size(); }
    [[nodiscard]] bool read(char* out, std::size_t count) override {
        if (count > bytes_.size()) {
            return false;
        }
        bytes_.copy(out, count);
        bytes_.remove_prefix(count);
        return true;
    }

  private:
    std::string_view bytes_;
};

}  // namespace

Expected<std::vector<std::string>, ChannelError> decodePathList(std::string_view blob,
                                                                std::uint32_t count) {
    HeldBytes bytes(blob);
    return decodePathList(bytes, count);
}

Expected<std::vector<std::string>, ChannelError> decodePathList(PathListBytes& bytes,
                                                                std::uint32_t count) {
    if (count > maxPathCount) {
        return Unexpected(ChannelError::pathCount);
    }
    std::vector<std::string> paths;
    paths.reserve(count);
    for (std::uint32_t index = 0; index < count; ++index) {
        char field[4];
        if (!bytes.read(field, sizeof field)) {
            return Unexpected(ChannelError::pathList);
        }
        const auto length = static_cast<std::size_t>(loadUnsigned(field, sizeof field, order));
        if (length > bytes.remaining()) {
            return Unexpected(ChannelError::pathList);
        }
        std::string& path = paths.emplace_back(length, '\0');
        if (!bytes.read(path.data(), length)) {
            return Unexpected(ChannelError::pathList);
        }
    }
    if (bytes.remaining() != 0) {
        return Unexpected(ChannelError::pathList);
    }
    return paths;
}

}  // namespace tavelin::channel
