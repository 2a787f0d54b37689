#pragma once

#include <string_view>

#include "TavelinHelper/front/VerifiedExecutables.h"
#include "TavelinPlatform/core/RefusalReason.h"
#include "TavelinPlatform/identity/Requirement.h"
#include "TavelinPlatform/identity/TrustAnchor.h"
#include "TavelinPlatform/process/PeerProcess.h"

namespace tavelin {

// Result codes of TVLVerifyXPCClient.
inline constexpr long clientVerified = 0;            // the peer's code satisfies the requirement
inline constexpr long clientCodeUnavailable = 1;     // no code could be found for the peer
inline constexpr long clientRequirementInvalid = 2;  // the requirement text does not parse
inline constexpr long clientNotSatisfying = 3;       // invalid signature or requirement not met

// How admission looks at the peer of one connection. In the daemon the root monitor takes
// the look (the front cannot read another process's /proc); each inspect() is a fresh one.
class PeerInspector {
  public:
    virtual ~PeerInspector() = default;
    [[nodiscard]] virtual Expected<PeerEvidence, SystemError> inspect() = 0;
};

// A look taken by this process itself (inspectPeer), for tests.
class LocalPeerInspector final : public PeerInspector {
  public:
    LocalPeerInspector(const PeerProcess& peer, const CodeTrust& trust)
        : peer_(peer), trust_(trust) {}
    [[nodiscard]] Expected<PeerEvidence, SystemError> inspect() override {
        return inspectPeer(peer_, trust_);
    }

  private:
    const PeerProcess& peer_;
    const CodeTrust& trust_;
};

// Checks the code of the process on the other end of a connection against a requirement,
// in this order:
//   1. the peer: no inspector (null), or a first look that fails (the peer exited, or its
//      executable cannot be opened through its pidfd-confirmed /proc directory) gives 1;
//   2. the requirement text: one that does not parse gives 2 (so 1 wins over 2);
//   3. validity: a traced peer, a peer whose code is not its executable's (another user
//      namespace, the executable not mapped, foreign code mapped), an unsigned or altered
//      executable, a chain that does not end at `anchor`, a leaf that is expired or not for code
//      signing, an unmet condition, or a second look after the hash that fails, shows another file
//      (the peer exec'd) or a tracer gives 3; otherwise 0.
// The executable is hashed only when its signature block and the requirement's conditions
// have passed, so refusing unsigned or foreign-signed programs stays cheap.
// Keeps no state and caches nothing (verifyClient with VerifiedExecutables, below, does);
// safe to call from several threads at once (each with its own inspector). The caller
// keeps ownership of everything passed in.
[[nodiscard]] long TVLVerifyXPCClient(PeerInspector* connection, std::string_view requirement,
                                      const TrustAnchor& anchor);

// The same with the requirement parsed once beforehand (the daemon's requirement is a
// constant, parsed at start-up); answers 0, 1 or 3.
[[nodiscard]] long TVLVerifyXPCClient(PeerInspector* connection, const Requirement& requirement,
                                      const TrustAnchor& anchor);

// A verification's code and, for a refusal, which check refused the peer.
struct ClientVerdict {
    long code = clientVerified;
    RefusalReason reason = RefusalReason::none;
};

// TVLVerifyXPCClient, with the reason of a refusal.
[[nodiscard]] ClientVerdict verifyClient(PeerInspector* connection, std::string_view requirement,
                                         const TrustAnchor& anchor);
[[nodiscard]] ClientVerdict verifyClient(PeerInspector* connection, const Requirement& requirement,
                                         const TrustAnchor& anchor);

// The same against the anchor and requirement of `verified`, whose file check
// (VerifiedExecutables::check) hashes an executable only when it has not seen this version
// of it satisfy them before. Only the hash and the signature check are spared: every look
// at the process (its user namespace, its mappings, its tracer, the executable it runs,
// the second look and the comparison of both looks' files) is taken each time.
[[nodiscard]] ClientVerdict verifyClient(PeerInspector* connection, VerifiedExecutables& verified);

}  // namespace tavelin
