#include "SignatureWriting.h"

#include <unistd.h>

#include "ByteCodec.h"
#include "FileWriting.h"
#include "RetryOnInterrupt.h"

namespace tavelin {

std::vector<std::uint8_t> encodeSignedRecord(const SignedRecord& record) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(signedRecordHeaderSize + record.identifier.size());
    bytes.insert(bytes.end(), signedRecordMagic.begin(), signedRecordMagic.end());
    appendUnsigned(bytes, record.contentLength, 8, ByteOrder::littleEndian);
    bytes.insert(bytes.end(), record.contentDigest.begin(), record.contentDigest.end());
    appendUnsigned(bytes, record.identifier.size(), 2, ByteOrder::littleEndian);
    bytes.insert(bytes.end(), record.identifier.begin(), record.identifier.end());
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
