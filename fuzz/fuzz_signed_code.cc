// Arbitrary bytes as the executable of a connecting peer, checked as admission checks it:
// the signature trailer and block located, the CMS structure parsed, its signature and
// certificate chain verified against a fixed anchor, the signed record decoded and the
// content hashed. Nothing may crash or leak, and nothing may pass the block checks but the
// seeds' own signatures, whose keys the fuzzer never sees.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/identity/CodeVerifier.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "fuzz/FixedAnchor.h"

namespace {

using namespace tavelin;

struct Fixture {
    TrustAnchor anchor;
    Requirement requirement;
};

Fixture makeFixture() {
    auto anchor = fuzzing::makeFixedAnchor();
    auto requirement = Requirement::parse(PrivilegedHelperInfo::clientCodeRequirement());
    if (!anchor || !requirement) {
        std::abort();
    }
    return {TrustAnchor::fromCertificate(std::move(anchor.value().certificate)),
            std::move(requirement).value()};
}

// The bytes as a file of their own, as /proc/<pid>/exe would hand it to the check.
UniqueFd fileOf(const std::uint8_t* data, std::size_t size) {
    UniqueFd file(::memfd_create("signed-code", MFD_CLOEXEC));
    for (std::size_t done = 0; file && done < size;) {
        const ssize_t count = ::write(file.get(), data + done, size - done);
        if (count <= 0) {
            std::abort();
        }
        done += static_cast<std::size_t>(count);
    }
    if (!file) {
        std::abort();
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fixture fixture = makeFixture();
    // Only a signature that verifies ever hands the record decoder its bytes; give it
    // these as well, so that it meets more than what the seeds signed.
    static_cast<void>(decodeSignedRecord(std::span(data, size)));

    const UniqueFd file = fileOf(data, size);
    const auto code = readSignedCode(file.get(), fixture.anchor);
    if (code) {
        if (code.value().record.identifier != PrivilegedHelperInfo::clientBundleIdentifier) {
            std::abort();  // a signed identity nobody signed
        }
        static_cast<void>(verifySignedContent(file.get(), code.value()));
    }
    const CodeCheck check = checkCode(file.get(), fixture.anchor, fixture.requirement);
    if (check.result != CodeCheckResult::invalid && !code) {
        std::abort();  // the whole check passed a block the block phase refuses
    }
    return 0;
}
