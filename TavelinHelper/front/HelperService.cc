#include "TavelinHelper/front/HelperService.h"

#include <variant>

#include "TavelinPlatform/channel/SealedBlob.h"
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
    if (done == nullptr || done->noResult || done->peerChanged) {
        return {};
    }
    auto message =
        channel::attachedBytes(done->message, reply->descriptor.get(), channel::maxMessageBlobSize);
    if (!message) {
        return {};
    }
    return encoded(PrivilegedResult(done->success, std::move(message).value(), done->freedBytes));
}

// The typed request for the monitor and the blob of its attachment, if it needs one.
struct MonitorRequest {
    channel::FrontRequest request;
    UniqueFd blob;
};

using Op = PrivilegedOperation;

// One overload per operation: an operation without one does not compile in requestFor.
Expected<MonitorRequest, SystemError> requestOf(const Op::RemoveSystemPaths& removal,
                                                std::uint64_t peerHandle) {
    auto attached = channel::attach(channel::encodePathList(removal.paths));
    if (!attached) {
        return Unexpected(std::move(attached).error());
    }
    return MonitorRequest{
        channel::RemoveSystemPaths{peerHandle, static_cast<std::uint32_t>(removal.paths.size()),
                                   std::move(attached->attachment)},
        std::move(attached->blob)};
}

Expected<MonitorRequest, SystemError> requestOf(const Op::RepairPermissions& repair,
                                                std::uint64_t peerHandle) {
    auto attached = channel::attach(repair.path);
    if (!attached) {
        return Unexpected(std::move(attached).error());
    }
    return MonitorRequest{channel::RepairPermissions{peerHandle, std::move(attached->attachment)},
                          std::move(attached->blob)};
}

Expected<MonitorRequest, SystemError> requestOf(const Op::InstallSystemUpdates& /*update*/,
                                                std::uint64_t peerHandle) {
    return MonitorRequest{channel::InstallUpdates{peerHandle}, {}};
}

Expected<MonitorRequest, SystemError> requestFor(const PrivilegedOperation& operation,
                                                 std::uint64_t peerHandle) {
    return std::visit([peerHandle](const auto& payload) { return requestOf(payload, peerHandle); },
                      operation.payload());
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
        const auto typed = requestFor(*decoded, peerHandle_);
        if (!typed) {
            reply({});
            return;
        }
        auto sent = monitor_.send(
            typed->request, typed->blob.get(),
            [reply, changed = peerChanged_](Expected<MonitorClient::Reply, SystemError> answer) {
                const auto* done =
                    answer ? std::get_if<channel::OperationDone>(&answer->message) : nullptr;
                if (done != nullptr && done->peerChanged) {
                    changed->store(true);
                }
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
