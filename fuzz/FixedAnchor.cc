#include "fuzz/FixedAnchor.h"

#include <array>
#include <cstdint>

namespace tavelin::fuzzing {

namespace {

// An ECDSA P-256 private key as SEC1 DER (RFC 5915) without its public key, which OpenSSL
// computes when it reads the key: version 1, the 32-byte secret, the curve's name.
constexpr std::array<std::uint8_t, 51> fixedKeyDer = {
    0x30, 0x31, 0x02, 0x01, 0x01, 0x04, 0x20,                                // version, secret:
    0x1D, 0x82, 0x18, 0x07, 0xCA, 0xFC, 0x1F, 0x66, 0x28, 0x42, 0x12,        //
    0x0D, 0x5C, 0x3C, 0x26, 0x25, 0x4F, 0x57, 0x18, 0xA8, 0xE7, 0x1B,        //
    0x97, 0x6F, 0xD1, 0x65, 0x8C, 0xB8, 0x69, 0xC8, 0xA4, 0xE8,              //
    0xA0, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07,  // prime256v1
};

}  // namespace

Expected<CertifiedKey, IdentityError> makeFixedAnchor() {
    const unsigned char* cursor = fixedKeyDer.data();
    EvpPkeyPtr key(
        d2i_PrivateKey(EVP_PKEY_EC, nullptr, &cursor, static_cast<long>(fixedKeyDer.size())));
    if (!key) {
        return identityError("fixed anchor key: " + takeOpenSslError());
    }
    return createAnchor({"Tavelin Fuzzing Anchor", "Tavelin Fuzzing", ""}, std::move(key));
}

}  // namespace tavelin::fuzzing
