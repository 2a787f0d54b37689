#include "TavelinPlatform/signing/SignatureWriting.h"

#include <unistd.h>

#include <algorithm>

#include "TavelinPlatform/core/ByteCodec.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/signing/FileWriting.h"

namespace tavelin {

std::vector<std::uint8_t> encodeSignedRecord(const SignedRecord& record) {
    // Sized up front and filled in place (magic, length, digest, identifier length,
    // identifier), which also spares GCC 12 a false overflow warning on growing inserts.
    std::vector<std::uint8_t> bytes(signedRecordHeaderSize + record.identifier.size());
    std::uint8_t* out = std::copy(signedRecordMagic.begin(), signedRecordMagic.end(), bytes.data());
    storeUnsigned(out, record.contentLength, 8, ByteOrder::littleEndian);
    out = std::copy(record.contentDigest.begin(), record.contentDigest.end(), out + 8);
    storeUnsigned(out, record.identifier.size(), 2, ByteOrder::littleEndian);
    std::copy(record.identifier.begin(), record.identifier.end(), out + 2);
    return bytes;
}

std::vector<std::uint8_t> encodeSignatureTrailer(std::uint64_t blockLength) {
    std::vector<std::uint8_t> trailer;
    trailer.reserve(signatureTrailerSize);
    appendUnsigned(trailer, blockLength, signatureLengthFieldSize, ByteOrder::littleEndian);
    trailer.insert(trailer.end(), signatureTrailerMagic.begin(), signatureTrailerMagic.end());
    return trailer;
}

Status<IdentityError> writeSignatureBlock(int fd, std::uint64_t contentLength,
                                          std::span<const std::uint8_t> block) {
    if (block.empty() || block.size() > maximumSignatureBlockSize) {
        return identityError("signature block length out of range");
    }
    if (auto written = writeAllAt(fd, block, contentLength); !written) {
        return written;
    }
    const auto trailer = encodeSignatureTrailer(block.size());
    if (auto written = writeAllAt(fd, trailer, contentLength + block.size()); !written) {
        return written;
    }
    const auto end = static_cast<off_t>(contentLength + block.size() + trailer.size());
    if (retryOnInterrupt([&] { return ::ftruncate(fd, end); }) != 0) {
        return identityError(lastSystemError("ftruncate"));
    }
    return {};
}

}  // namespace tavelin
