#include "TavelinHelper/front/HelperService.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "TavelinPlatform/channel/PathListBlob.h"
#include "TavelinPlatform/channel/SealedBlob.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/internal/RemovalPathSink.h"

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

// A removal's paths written into the channel's path list as the decoder reads them: the
// decoded list is never whole in memory beside the request.
class PathListSink final : public RemovalPathSink {
  public:
    bool add(std::string& path) override {
        auto added = writer_.add(path);
        if (!added) {
            failure_ = std::move(added).error();
        }
        return !failure_;
    }
    void clear() noexcept override { writer_.clear(); }

    // Why a path could not be written, if one could not.
    [[nodiscard]] const std::optional<SystemError>& failure() const noexcept { return failure_; }
    [[nodiscard]] channel::PathListWriter& writer() noexcept { return writer_; }

  private:
    channel::PathListWriter writer_;
    std::optional<SystemError> failure_;
};

// One overload per operation: an operation without one does not compile in requestFor.
// A removal's paths are those of `paths`, not its own (decodeWithPathsTo).
Expected<MonitorRequest, SystemError> requestOf(const Op::RemoveSystemPaths& /*removal*/,
                                                std::uint64_t peerHandle, PathListSink& paths) {
    const std::uint32_t count = paths.writer().count();
    auto attached = std::move(paths.writer()).finish();
    if (!attached) {
        return Unexpected(std::move(attached).error());
    }
    return MonitorRequest{
        channel::RemoveSystemPaths{peerHandle, count, std::move(attached->attachment)},
        std::move(attached->blob)};
}

Expected<MonitorRequest, SystemError> requestOf(const Op::RepairPermissions& repair,
                                                std::uint64_t peerHandle, PathListSink& /*paths*/) {
    auto attached = channel::attach(repair.path);
    if (!attached) {
        return Unexpected(std::move(attached).error());
    }
    return MonitorRequest{channel::RepairPermissions{peerHandle, std::move(attached->attachment)},
                          std::move(attached->blob)};
}

Expected<MonitorRequest, SystemError> requestOf(const Op::InstallSystemUpdates& /*update*/,
                                                std::uint64_t peerHandle, PathListSink& /*paths*/) {
    return MonitorRequest{channel::InstallUpdates{peerHandle}, {}};
}

Expected<MonitorRequest, SystemError> requestFor(const PrivilegedOperation& operation,
                                                 std::uint64_t peerHandle, PathListSink& paths) {
    return std::visit(
        [peerHandle, &paths](const auto& payload) { return requestOf(payload, peerHandle, paths); },
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
        std::string request(operationJSON);
        decodeAndSend(request, reply);
    } catch (...) {
        reply({});  // no memory for a copy: as for a result that cannot be encoded
    }
}

void HelperService::performTaking(std::string operationJSON, const DataReply& reply) {
    decodeAndSend(operationJSON, reply);
}

void HelperService::decodeAndSend(std::string& operationJSON, const DataReply& reply) {
    try {
        PathListSink paths;
        const auto decoded = decodeWithPathsTo(operationJSON, paths);
        std::string().swap(operationJSON);  // read: freed before anything is sent on
        if (paths.failure()) {
            reply({});  // the path list could not be written: as when the monitor cannot be asked
            return;
        }
        if (!decoded) {
            reply(encoded(PrivilegedResult(false, std::string(invalidOperationMessage), 0)));
            return;
        }
        const auto typed = requestFor(*decoded, peerHandle_, paths);
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
