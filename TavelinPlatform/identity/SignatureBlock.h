#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "Outcome.h"

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
// Larger blocks are refused before anything is allocated for them. A block holds one
// signed record and a short certificate chain: a few kilobytes.
inline constexpr std::uint64_t maximumSignatureBlockSize = std::uint64_t{256} * 1024;

// Where the parts of a signed file lie.
struct SignatureLayout {
    std::uint64_t contentLength = 0;  // the block starts here
    std::uint64_t blockLength = 0;
};

// The trailer for a block of `blockLength` bytes.
[[nodiscard]] std::vector<std::uint8_t> encodeSignatureTrailer(std::uint64_t blockLength);

// Reads the trailer of the open file. Answers nothing when the file does not end with the
// magic (an unsigned file); fails when it does but the length cannot be right (zero, larger
// than maximumSignatureBlockSize or than the file) or the file cannot be read.
[[nodiscard]] Outcome<std::optional<SignatureLayout>> locateSignatureBlock(int fd);

// Reads the block that `layout` describes.
[[nodiscard]] Outcome<std::vector<std::uint8_t>> readSignatureBlock(int fd,
                                                                    const SignatureLayout& layout);

// Writes `block` and its trailer at `contentLength` and cuts the file after the trailer,
// so that an older, longer block is replaced entirely. Bytes before `contentLength` are
// never written.
[[nodiscard]] Outcome<Done> writeSignatureBlock(int fd, std::uint64_t contentLength,
                                                std::span<const std::uint8_t> block);

}  // namespace tavelin
