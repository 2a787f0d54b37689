#include "SignedRecord.h"

#include <openssl/evp.h>

#include <algorithm>

#include "FileIo.h"
#include "OpenSslHandles.h"

namespace tavelin {

namespace {

constexpr std::size_t magicSize = 8;
constexpr std::size_t headerSize = magicSize + 8 + 32 + 2;

}  // namespace

bool isAcceptableIdentifier(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > maximumIdentifierLength) {
        return false;
    }
    return std::none_of(identifier.begin(), identifier.end(), [](char character) {
        const auto byte = static_cast<unsigned char>(character);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::vector<std::uint8_t> encodeSignedRecord(const SignedRecord& record) {
    std::vector<std::uint8_t> bytes(headerSize + record.identifier.size());
    std::copy(signedRecordMagic.begin(), signedRecordMagic.end(), bytes.begin());
    for (std::size_t index = 0; index < 8; ++index) {
        bytes[magicSize + index] = static_cast<std::uint8_t>(record.contentLength >> (8 * index));
    }
    std::copy(record.contentDigest.begin(), record.contentDigest.end(), bytes.begin() + magicSize + 8);
    const auto length = static_cast<std::uint16_t>(record.identifier.size());
    bytes[headerSize - 2] = static_cast<std::uint8_t>(length & 0xFFU);
    bytes[headerSize - 1] = static_cast<std::uint8_t>(length >> 8U);
    std::copy(record.identifier.begin(), record.identifier.end(), bytes.begin() + headerSize);
    return bytes;
}

Outcome<SignedRecord> decodeSignedRecord(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < headerSize ||
        !std::equal(signedRecordMagic.begin(), signedRecordMagic.end(), bytes.begin())) {
        return identityError("signed record is malformed");
    }
    SignedRecord record;
    for (std::size_t index = 0; index < 8; ++index) {
        record.contentLength |= static_cast<std::uint64_t>(bytes[magicSize + index]) << (8 * index);
    }
    std::copy_n(bytes.begin() + magicSize + 8, record.contentDigest.size(),
                record.contentDigest.begin());
    const std::size_t length = bytes[headerSize - 2] | (bytes[headerSize - 1] << 8U);
    if (bytes.size() != headerSize + length) {
        return identityError("signed record has a wrong length");
    }
    record.identifier.assign(bytes.begin() + headerSize, bytes.end());
    if (!isAcceptableIdentifier(record.identifier)) {
        return identityError("signed record holds an unacceptable identifier");
    }
    return record;
}

Outcome<Sha256Digest> digestFilePrefix(int fd, std::uint64_t length) {
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return identityError("SHA-256: " + takeOpenSslError());
    }
    std::vector<std::uint8_t> chunk(std::size_t{256} * 1024);
    std::uint64_t offset = 0;
    while (offset < length) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - offset));
        std::span<std::uint8_t> part(chunk.data(), size);
        if (auto read = readExactlyAt(fd, part, offset); !read) {
            return read.error();
        }
        if (EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) {
            return identityError("SHA-256: " + takeOpenSslError());
        }
        offset += size;
    }
    Sha256Digest digest{};
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &digestLength) != 1 ||
        digestLength != digest.size()) {
        return identityError("SHA-256: " + takeOpenSslError());
    }
    return digest;
}

}  // namespace tavelin
