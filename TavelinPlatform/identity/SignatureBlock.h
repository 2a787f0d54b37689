#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"

namespace tavelin {

// A signed executable is laid out as
//
//     [ content: every byte the signature covers ][ block ][ trailer: 16 bytes ]
//
// The block is the DER encoding of a CMS SignedData. The trailer is
//
//     offset 0, 8 bytes: the block's length in bytes, unsigned, little-endian
//     offset 8, 8 bytes: the magic "TVLCSIG1" (ASCII)
//
// so a reader finds the block from the end of the file without reading the content.
// docs/code-signing.md describes the format in full.
inline constexpr std::string_view signatureTrailerMagic = "TVLCSIG1";
inline constexpr std::size_t signatureTrailerSize = 16;
inline constexpr std::size_t signatureLengthFieldSize = 8;
// Larger blocks are refused before anything is allocated for them. A block holds one
// signed record and a short certificate chain: a few kilobytes.
inline constexpr std::uint64_t maximumSignatureBlockSize = std::uint64_t{256} * 1024;

// Where the parts of a signed file lie.
struct SignatureLayout {
    std::uint64_t contentLength = 0;  // the block starts here
    std::uint64_t blockLength = 0;
};

// Reads the trailer of the open file. Answers nothing when the file does not end with the
// magic (an unsigned file); fails when it does but the length cannot be right (zero, larger
// than maximumSignatureBlockSize or than the file) or the file cannot be read.
[[nodiscard]] Expected<std::optional<SignatureLayout>, IdentityError> locateSignatureBlock(int fd);

// Reads the block that `layout` describes.
[[nodiscard]] Expected<std::vector<std::uint8_t>, IdentityError> readSignatureBlock(
    int fd, const SignatureLayout& layout);

}  // namespace tavelin
