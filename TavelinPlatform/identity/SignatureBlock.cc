#include "TavelinPlatform/identity/SignatureBlock.h"

#include <algorithm>
#include <array>

#include "TavelinPlatform/core/ByteCodec.h"
#include "TavelinPlatform/identity/FileReading.h"

namespace tavelin {

Expected<std::optional<SignatureLayout>, IdentityError> locateSignatureBlock(int fd) {
    auto size = regularFileSize(fd);
    if (!size) {
        return Unexpected(size.error());
    }
    const std::uint64_t fileSize = *size;
    if (fileSize < signatureTrailerSize) {
        return std::optional<SignatureLayout>{};
    }
    std::array<std::uint8_t, signatureTrailerSize> trailer{};
    if (auto read = readExactlyAt(fd, trailer, fileSize - signatureTrailerSize); !read) {
        return Unexpected(read.error());
    }
    if (!std::equal(signatureTrailerMagic.begin(), signatureTrailerMagic.end(),
                    trailer.begin() + signatureLengthFieldSize)) {
        return std::optional<SignatureLayout>{};
    }
    const std::uint64_t blockLength =
        loadUnsigned(trailer.data(), signatureLengthFieldSize, ByteOrder::littleEndian);
    if (blockLength == 0 || blockLength > maximumSignatureBlockSize) {
        return identityError("signature trailer names an impossible block length");
    }
    if (blockLength > fileSize - signatureTrailerSize) {
        return identityError("signature block is truncated");
    }
    return std::optional<SignatureLayout>{
        SignatureLayout{fileSize - signatureTrailerSize - blockLength, blockLength}};
}

Expected<std::vector<std::uint8_t>, IdentityError> readSignatureBlock(
    int fd, const SignatureLayout& layout) {
    if (layout.blockLength == 0 || layout.blockLength > maximumSignatureBlockSize) {
        return identityError("signature block length out of range");
    }
    std::vector<std::uint8_t> block(static_cast<std::size_t>(layout.blockLength));
    if (auto read = readExactlyAt(fd, block, layout.contentLength); !read) {
        return Unexpected(read.error());
    }
    return block;
}

}  // namespace tavelin
