#include "TavelinHelper/front/MonitorClient.h"

#include <cerrno>
#include <future>

#include "TavelinPlatform/channel/ChannelSocket.h"

namespace tavelin {

Status<SystemError> MonitorClient::send(const channel::FrontRequest& request, int descriptor,
                                        Handler handler) {
    // A handler kept for a request the monitor never answers would wait for ever.
    if (!channel::ruleOf(request).answered) {
        return systemError(EINVAL, "monitor request without an answer");
    }
    const std::uint64_t requestId = nextRequestId_++;
    const std::string bytes = channel::encodeRequest(requestId, request);
    const MutexLock lock(mutex_);
    if (broken_) {
        return systemError(EPIPE, "monitor channel");
    }
    handlers_.emplace(requestId, std::move(handler));
    auto sent = sendLocked(bytes, channel::carriesDescriptor(request) ? descriptor : -1);
    if (!sent) {
        handlers_.erase(requestId);
    }
    return sent;
}

Status<SystemError> MonitorClient::notify(const channel::FrontRequest& request) {
    // An answer nobody waits for would break the channel when it arrives.
    if (channel::ruleOf(request).answered) {
        return systemError(EINVAL, "monitor request with an answer");
    }
    const std::string bytes = channel::encodeRequest(nextRequestId_++, request);
    const MutexLock lock(mutex_);
    return sendLocked(bytes, -1);
}

Status<SystemError> MonitorClient::sendLocked(std::string_view bytes, int descriptor) {
    return channel::sendDatagram(channel_.get(), bytes, descriptor);
}

Expected<MonitorClient::Reply, SystemError> MonitorClient::call(
    const channel::FrontRequest& request, int descriptor) {
    auto promise = std::make_shared<std::promise<Expected<Reply, SystemError>>>();
    auto future = promise->get_future();
    auto sent = send(request, descriptor, [promise](Expected<Reply, SystemError> reply) {
        promise->set_value(std::move(reply));
    });
    if (!sent) {
        return Unexpected(std::move(sent).error());
    }
    return future.get();
}

Status<SystemError> MonitorClient::receiveReply() {
    auto datagram = channel::receiveDatagram(channel_.get(), /*wait=*/false);
    if (!datagram) {
        if (datagram.error().errorNumber == EAGAIN) {
            return {};
        }
        failAll(datagram.error());
        return Unexpected(datagram.error());
    }
    auto envelope = channel::decodeReply(datagram->bytes, datagram->descriptor.valid());
    Handler handler;
    {
        const MutexLock lock(mutex_);
        auto found = envelope ? handlers_.find(envelope->requestId) : handlers_.end();
        if (found == handlers_.end()) {
            // A reply to nothing we asked, or one the layouts refuse: the monitor and
            // this front no longer agree on anything.
            broken_ = true;
        } else {
            handler = std::move(found->second);
            handlers_.erase(found);
        }
    }
    if (!handler) {
        const SystemError error{EBADMSG, "monitor reply"};
        failAll(error);
        return Unexpected(error);
    }
    handler(Reply{std::move(envelope->message), std::move(datagram->descriptor)});
    return {};
}

void MonitorClient::abandon() {
    failAll(SystemError{ECANCELED, "monitor channel"});
}

void MonitorClient::failAll(const SystemError& error) {
    std::unordered_map<std::uint64_t, Handler> pending;
    {
        const MutexLock lock(mutex_);
        broken_ = true;
        pending.swap(handlers_);
    }
    for (auto& [requestId, handler] : pending) {
        handler(Unexpected(error));
    }
}

}  // namespace tavelin
