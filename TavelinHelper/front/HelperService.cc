#include "HelperService.h"

#include <variant>

#include "SealedBlob.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

namespace {

constexpr std::string_view invalidOperationMessage = "Ung\u00fcltige Operation";

// Every removal that decodes fits the channel: the decoder refuses longer lists.
static_assert(PrivilegedOperation::maxRemovalPaths == channel::maxPathCount);

std::string encoded(const PrivilegedResult& result) {
    auto bytes = result.encode();
    return bytes ? std::move(*bytes) : std::string();
}

// The monitor's answer as the reply's bytes; empty when there is none to give.
std::string answerOf(Expected<MonitorClient::Reply, SystemError> reply) {
    if (!reply) {
        return {};
    }
    const auto* done = std::get_if<channel::OperationDone>(&reply->message);
    if (done == nullptr || done->noResult) {
        return {};
    }
    std::string message = done->inlineMessage;
    if (done->messageLength > channel::maxInlineMessage) {
        auto blob = channel::readSealedBlob(reply->descriptor.get(), channel::maxMessageBlobSize);
        if (!blob || blob->size() != done->messageLength) {
            return {};
        }
        message = std::move(blob).value();
    }
    return encoded(PrivilegedResult(done->success, std::move(message), done->freedBytes));
}

// The typed request for the monitor and the blob it needs (none for an update).
struct MonitorRequest {
    channel::FrontRequest request;
    std::string blob;
};

MonitorRequest requestFor(const PrivilegedOperation& operation, std::uint64_t peerHandle) {
    const auto& payload = operation.payload();
    if (const auto* removal = std::get_if<PrivilegedOperation::RemoveSystemPaths>(&payload)) {
        return {channel::RemoveSystemPaths{peerHandle,
                                           static_cast<std::uint32_t>(removal->paths.size())},
                channel::encodePathList(removal->paths)};
    }
    if (const auto* repair = std::get_if<PrivilegedOperation::RepairPermissions>(&payload)) {
        return {channel::RepairPermissions{peerHandle}, repair->path};
    }
    return {channel::InstallUpdates{peerHandle}, {}};
}

}  // namespace

void HelperService::helperVersion(const VersionReply& reply) {
    try {
        reply(std::string(PrivilegedHelperInfo::version));
    } catch (...) {
        // The reply is the transport's; if it cannot send, nothing here can do better.
    }
}

void HelperService::perform(std::string_view operationJSON, const DataReply& reply) {
    try {
        const auto decoded = PrivilegedOperation::decode(operationJSON);
        if (!decoded) {
            reply(encoded(PrivilegedResult(false, std::string(invalidOperationMessage), 0)));
            return;
        }
        const MonitorRequest typed = requestFor(*decoded, peerHandle_);
        UniqueFd blob;
        if (!std::holds_alternative<channel::InstallUpdates>(typed.request)) {
            auto made = channel::makeSealedBlob(typed.blob);
            if (!made) {
                reply({});
                return;
            }
            blob = std::move(made).value();
        }
        auto sent = monitor_.send(typed.request, blob.get(),
                                  [reply](Expected<MonitorClient::Reply, SystemError> answer) {
                                      reply(answerOf(std::move(answer)));
                                  });
        if (!sent) {
            reply({});
        }
    } catch (...) {
        // Out of memory before the request left: answered as a result that cannot be
        // encoded. Once it has left, only the handler replies.
        reply({});
    }
}

}  // namespace tavelin
