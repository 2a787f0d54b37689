#pragma once

#include <cstdint>

#include "TavelinHelper/front/ClientVerification.h"
#include "TavelinHelper/front/MonitorClient.h"

namespace tavelin {

// The peer of one connection as the root monitor sees it: the monitor accepted the
// connection and read the peer's credentials from the kernel; each look inspects the peer
// there afresh (the first pins its executable). Used on a work thread, never on the loop
// thread (each look waits for the monitor's answer).
class MonitoredPeer final : public PeerInspector {
  public:
    MonitoredPeer(MonitorClient& monitor, std::uint64_t handle)
        : monitor_(monitor), handle_(handle) {}

    [[nodiscard]] Expected<PeerEvidence, SystemError> inspect() override;

    // The monitor's handle of the accepted peer.
    [[nodiscard]] std::uint64_t handle() const noexcept { return handle_; }

  private:
    MonitorClient& monitor_;
    std::uint64_t handle_;
};

}  // namespace tavelin
