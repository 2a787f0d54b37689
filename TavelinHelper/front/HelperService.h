#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "TavelinHelper/front/FrontDelegate.h"
#include "TavelinHelper/front/MonitorClient.h"

namespace tavelin {

// The object each admitted connection talks to. It answers version queries itself and
// turns a request into one typed message to the monitor, which judges, logs and acts.
// Holds no state between calls but the monitor's handle of its peer.
class HelperService final : public ConnectionService {
  public:
    // `peerHandle`: the monitor's handle of this connection's peer (MonitoredPeer::handle).
    HelperService(MonitorClient& monitor, std::uint64_t peerHandle)
        : monitor_(monitor), peerHandle_(peerHandle) {}

    // Replies PrivilegedHelperInfo::version ("0.0.1") at once. Logs nothing.
    void helperVersion(const VersionReply& reply) override;

    // Runs on a work thread, or on the loop thread for a short request; it never waits for
    // the monitor. An undecodable request is answered at once with success
    // false, "Ungültige Operation", 0, and reaches nobody. Otherwise the operation goes to
    // the monitor (paths in a sealed blob), and `reply` is called on the loop thread with
    // the JSON of the monitor's result, or with zero bytes when the result cannot be
    // encoded or the monitor could not be asked. `reply` is called exactly once; neither
    // method throws.
    void perform(std::string_view operationJSON, const DataReply& reply) override;
    // The same; the request's bytes are freed once decoded, before its path list is sent.
    void performTaking(std::string operationJSON, const DataReply& reply) override;

    // True once the monitor refused an operation because the peer had exec'd another
    // program since admission.
    [[nodiscard]] bool peerChanged() const noexcept override { return peerChanged_->load(); }

  private:
    // Decodes the request in `operationJSON`, which it empties once read.
    void decodeAndSend(std::string& operationJSON, const DataReply& reply);

    MonitorClient& monitor_;
    std::uint64_t peerHandle_;
    // Shared with the answer handlers, which may outlive the service.
    std::shared_ptr<std::atomic<bool>> peerChanged_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace tavelin
