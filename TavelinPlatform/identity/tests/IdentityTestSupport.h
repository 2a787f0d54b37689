#pragma once

// Real identities, signed copies of a real program and real peer processes for the
// identity and admission tests. Failures here abort the test with a GoogleTest failure.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CodeSigner.h"
#include "DevelopmentIdentity.h"
#include "PeerProcess.h"
#include "TrustAnchor.h"
#include "UniqueFd.h"

namespace tavelin::testing {

// A fresh directory removed with everything in it at the end of the test.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// An anchor and a leaf under it (optionally through one intermediate).
struct TestIdentity {
    CertifiedKey anchor;
    std::optional<CertifiedKey> intermediate;
    CertifiedKey leaf;

    [[nodiscard]] SigningIdentity signingIdentity() const;
    [[nodiscard]] TrustAnchor trustAnchor() const;
};

// The default leaf: OU "QH4T7R2KZ5", code signing, valid for a year.
[[nodiscard]] CertificateRequest leafRequest(const std::string& organizationalUnit = "QH4T7R2KZ5");
[[nodiscard]] TestIdentity makeIdentity(const CertificateRequest& leaf = leafRequest(),
                                        bool withIntermediate = false);

// Another leaf under the same anchor as `base` (no intermediate).
[[nodiscard]] TestIdentity makeSiblingIdentity(const TestIdentity& base,
                                               const CertificateRequest& leaf);

[[nodiscard]] std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Copies the test peer program to `target` (executable).
void copyTestPeer(const std::filesystem::path& target);
// Offset of the test peer's patch area in its file, to alter it harmlessly.
[[nodiscard]] std::size_t patchAreaOffset(const std::vector<std::uint8_t>& bytes);

void signOrFail(const std::filesystem::path& file, const TestIdentity& identity,
                const std::string& identifier);

// A listening abstract-namespace socket with a unique name.
class AbstractListener {
public:
    AbstractListener();
    [[nodiscard]] const std::string& name() const { return name_; }
    // Accepts one connection (blocking).
    [[nodiscard]] UniqueFd accept() const;

private:
    std::string name_;
    UniqueFd fd_;
};

// A child process running `executable <listener name>`; killed and reaped when destroyed.
class PeerChild {
public:
    PeerChild(const std::filesystem::path& executable, const AbstractListener& listener,
              bool traceMe = false);
    ~PeerChild();
    PeerChild(const PeerChild&) = delete;
    PeerChild& operator=(const PeerChild&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // Kills and reaps the child now.
    void stop();

private:
    pid_t pid_ = -1;
};

// Starts the signed program, accepts its connection and records the peer.
struct ConnectedPeer {
    std::unique_ptr<PeerChild> child;
    UniqueFd connection;
    std::optional<PeerProcess> peer;
};
[[nodiscard]] ConnectedPeer connectPeer(const std::filesystem::path& executable,
                                        const AbstractListener& listener, bool traceMe = false);

}  // namespace tavelin::testing
