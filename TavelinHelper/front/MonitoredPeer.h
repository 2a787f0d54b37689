#pragma once

#include <cstdint>

#include "ClientVerification.h"
#include "MonitorClient.h"

namespace tavelin {

// The peer of one connection as the root monitor sees it: the first look opens it there
// (presenting the connection itself, so the monitor reads the peer's credentials from the
// kernel, not from us), later looks inspect it again. Used on a work thread, never on the
// loop thread (each look waits for the monitor's answer).
class MonitoredPeer final : public PeerInspector {
  public:
    MonitoredPeer(MonitorClient& monitor, int connectionFd)
        : monitor_(monitor), connection_(connectionFd) {}

    [[nodiscard]] Expected<PeerEvidence, SystemError> inspect() override;

    // The monitor's handle of the opened peer; 0 until a first look succeeded.
    [[nodiscard]] std::uint64_t handle() const noexcept { return handle_; }

  private:
    MonitorClient& monitor_;
    int connection_;
    std::uint64_t handle_ = 0;
};

}  // namespace tavelin
