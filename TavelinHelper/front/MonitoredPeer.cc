#include "TavelinHelper/front/MonitoredPeer.h"

#include <variant>

namespace tavelin {

Expected<PeerEvidence, SystemError> MonitoredPeer::inspect() {
    auto reply = monitor_.call(channel::InspectPeer{handle_}, -1);
    if (!reply) {
        return Unexpected(std::move(reply).error());
    }
    const auto* opened = std::get_if<channel::PeerOpened>(&reply->message);
    if (opened == nullptr) {
        return systemError(EPROTO, "monitor reply");
    }
    if (opened->errorNumber != 0) {
        return systemError(opened->errorNumber, "look at peer");
    }
    // A finding this build does not know is no proof of clean code.
    const auto code = opened->codeFinding <= static_cast<std::uint32_t>(lastPeerCodeFinding)
                          ? static_cast<PeerCodeFinding>(opened->codeFinding)
                          : PeerCodeFinding::mappingsUnreadable;
    return PeerEvidence{
        opened->pid,       static_cast<uid_t>(opened->uid), static_cast<gid_t>(opened->gid),
        opened->tracerPid, std::move(reply->descriptor),    code};
}

}  // namespace tavelin
