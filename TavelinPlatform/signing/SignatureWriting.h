#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/SignatureBlock.h"
#include "TavelinPlatform/identity/SignedRecord.h"

namespace tavelin {

// Writing the two binary structures of a signature (their layouts are documented with the
// readers in SignatureBlock.h and SignedRecord.h). Only the signing side does this.

// The record's bytes. Precondition: isAcceptableIdentifier(record.identifier).
[[nodiscard]] std::vector<std::uint8_t> encodeSignedRecord(const SignedRecord& record);

// The trailer for a block of `blockLength` bytes.
[[nodiscard]] std::vector<std::uint8_t> encodeSignatureTrailer(std::uint64_t blockLength);

// Writes `block` and its trailer at `contentLength` and cuts the file after the trailer,
// so that an older, longer block is replaced entirely. Bytes before `contentLength` are
// never written.
[[nodiscard]] Status<IdentityError> writeSignatureBlock(int fd, std::uint64_t contentLength,
                                                        std::span<const std::uint8_t> block);

}  // namespace tavelin
