#pragma once

// Real identities, signed copies of a real program and real peer processes for the
// identity and admission tests. Failures here fail the calling test.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/identity/TrustAnchor.h"
#include "TavelinPlatform/process/PeerProcess.h"
#include "TavelinPlatform/signing/CodeSigner.h"
#include "TavelinPlatform/signing/DevelopmentIdentity.h"

namespace tavelin::testing {

// A fresh directory removed with everything in it at the end of the test.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory() { std::filesystem::remove_all(path_, ignored_); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::error_code ignored_;
};

// An anchor and a leaf under it (optionally through one intermediate).
struct TestIdentity {
    CertifiedKey anchor;
    std::optional<CertifiedKey> intermediate;
    CertifiedKey leaf;

    [[nodiscard]] SigningIdentity signingIdentity() const;
    [[nodiscard]] TrustAnchor trustAnchor() const;
};

// The default leaf: OU "QH4T7R2KZ5", code signing, valid from five minutes ago for years.
[[nodiscard]] CertificateRequest leafRequest(const std::string& organizationalUnit = "QH4T7R2KZ5");
// The default intermediate: a CA that leaves the extended key usage unrestricted.
[[nodiscard]] CertificateRequest intermediateRequest();
[[nodiscard]] TestIdentity makeIdentity(const CertificateRequest& leaf = leafRequest(),
                                        bool withIntermediate = false);
// Another leaf under the same anchor as `base`, directly or through a new intermediate.
[[nodiscard]] TestIdentity makeSiblingIdentity(
    const TestIdentity& base, const CertificateRequest& leaf,
    const std::optional<CertificateRequest>& intermediate = std::nullopt);

[[nodiscard]] std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Copies the test peer program to `target` (executable).
void copyTestPeer(const std::filesystem::path& target);
// Offset of the test peer's patch area in its file, to alter it harmlessly.
[[nodiscard]] std::size_t patchAreaOffset(const std::vector<std::uint8_t>& bytes);
void signOrFail(const std::filesystem::path& file, const TestIdentity& identity,
                const std::string& identifier);

// Runs `executable` (a copy of the test peer) as a child that connected to a socket of
// ours before it exec'd, and records the peer of that connection once the exec is done.
// Given `execOnRequest` (a program and its arguments), the peer execs that program when
// execRequested() asks it to. The child is killed and reaped when this ends.
class ConnectedPeer {
  public:
    explicit ConnectedPeer(const std::filesystem::path& executable,
                           const std::vector<std::string>& execOnRequest = {});
    ~ConnectedPeer() { stop(); }
    ConnectedPeer(const ConnectedPeer&) = delete;
    ConnectedPeer& operator=(const ConnectedPeer&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] PeerProcess* peer() { return peer_ ? &*peer_ : nullptr; }  // null: no record
    // Makes the peer exec the program given at construction and returns once /proc shows
    // that it runs it.
    void execRequested();
    void stop();  // kills and reaps the child now

  private:
    pid_t pid_ = -1;
    UniqueFd connection_;
    std::optional<PeerProcess> peer_;
    UniqueFd execRequest_;  // writing a byte here makes the peer exec
    std::string execProgram_;
};

}  // namespace tavelin::testing
