#include "SignatureBlock.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "FileIo.h"
#include "SystemError.h"

namespace tavelin {

namespace {

constexpr std::size_t lengthFieldSize = 8;

void putLittleEndian64(std::uint64_t value, std::uint8_t* out) {
    for (std::size_t index = 0; index < 8; ++index) {
        out[index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

std::uint64_t getLittleEndian64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < 8; ++index) {
        value |= static_cast<std::uint64_t>(in[index]) << (8 * index);
    }
    return value;
}

}  // namespace

std::vector<std::uint8_t> encodeSignatureTrailer(std::uint64_t blockLength) {
    std::vector<std::uint8_t> trailer(signatureTrailerSize);
    putLittleEndian64(blockLength, trailer.data());
    std::copy(signatureTrailerMagic.begin(), signatureTrailerMagic.end(),
              trailer.begin() + lengthFieldSize);
    return trailer;
}

Outcome<std::optional<SignatureLayout>> locateSignatureBlock(int fd) {
    auto size = regularFileSize(fd);
    if (!size) {
        return size.error();
    }
    const std::uint64_t fileSize = size.value();
    if (fileSize < signatureTrailerSize) {
        return std::optional<SignatureLayout>{};
    }
    std::array<std::uint8_t, signatureTrailerSize> trailer{};
    if (auto read = readExactlyAt(fd, trailer, fileSize - signatureTrailerSize); !read) {
        return read.error();
    }
    if (!std::equal(signatureTrailerMagic.begin(), signatureTrailerMagic.end(),
                    trailer.begin() + lengthFieldSize)) {
        return std::optional<SignatureLayout>{};
    }
    const std::uint64_t blockLength = getLittleEndian64(trailer.data());
    if (blockLength == 0 || blockLength > maximumSignatureBlockSize) {
        return identityError("signature trailer names an impossible block length");
    }
    if (blockLength > fileSize - signatureTrailerSize) {
        return identityError("signature block is truncated");
    }
    return std::optional<SignatureLayout>{
        SignatureLayout{fileSize - signatureTrailerSize - blockLength, blockLength}};
}

Outcome<std::vector<std::uint8_t>> readSignatureBlock(int fd, const SignatureLayout& layout) {
    if (layout.blockLength == 0 || layout.blockLength > maximumSignatureBlockSize) {
        return identityError("signature block length out of range");
    }
    std::vector<std::uint8_t> block(static_cast<std::size_t>(layout.blockLength));
    if (auto read = readExactlyAt(fd, block, layout.contentLength); !read) {
        return read.error();
    }
    return block;
}

Outcome<Done> writeSignatureBlock(int fd, std::uint64_t contentLength,
                                  std::span<const std::uint8_t> block) {
    if (block.empty() || block.size() > maximumSignatureBlockSize) {
        return identityError("signature block length out of range");
    }
    if (auto written = writeAllAt(fd, block, contentLength); !written) {
        return written.error();
    }
    const auto trailer = encodeSignatureTrailer(block.size());
    if (auto written = writeAllAt(fd, trailer, contentLength + block.size()); !written) {
        return written.error();
    }
    const auto end = static_cast<off_t>(contentLength + block.size() + trailer.size());
    int status = 0;
    do {
        status = ::ftruncate(fd, end);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        return identityError("ftruncate: " + systemErrorText(errno));
    }
    return Done{};
}

}  // namespace tavelin
