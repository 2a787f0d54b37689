#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"

namespace tavelin {

using Sha256Digest = std::array<std::uint8_t, 32>;

// What a signature vouches for: the signing identifier and the exact bytes before the
// signature block, by length and SHA-256 digest. Encoded (all integers little-endian) as
//
//     offset  0,  8 bytes: the magic "TVLCREC1" (ASCII)
//     offset  8,  8 bytes: contentLength, unsigned
//     offset 16, 32 bytes: SHA-256 of the content
//     offset 48,  2 bytes: length n of the identifier in bytes, unsigned, 1..maximum
//     offset 50,  n bytes: the identifier (printable ASCII or UTF-8 without control bytes)
//
// and nothing after it. This record is the content that the CMS SignedData signs.
struct SignedRecord {
    std::string identifier;
    std::uint64_t contentLength = 0;
    Sha256Digest contentDigest{};
};

inline constexpr std::string_view signedRecordMagic = "TVLCREC1";
inline constexpr std::size_t maximumIdentifierLength = 1024;
// magic, contentLength, digest, identifier length: the bytes before the identifier.
inline constexpr std::size_t signedRecordHeaderSize = 8 + 8 + 32 + 2;

// True when `identifier` may be signed: 1..maximumIdentifierLength bytes, none of them
// a control character (below 0x20 or 0x7F).
[[nodiscard]] bool isAcceptableIdentifier(std::string_view identifier);

// Fails on a wrong magic, a bad identifier length, an unacceptable identifier, or bytes
// missing or left over.
[[nodiscard]] Expected<SignedRecord, IdentityError> decodeSignedRecord(
    std::span<const std::uint8_t> bytes);

// SHA-256 of the first `length` bytes of the open file, read in chunks.
[[nodiscard]] Expected<Sha256Digest, IdentityError> digestFilePrefix(int fd, std::uint64_t length);

}  // namespace tavelin
