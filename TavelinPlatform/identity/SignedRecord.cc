#include "TavelinPlatform/identity/SignedRecord.h"

#include <openssl/evp.h>

#include <algorithm>

#include "TavelinPlatform/core/ByteCodec.h"
#include "TavelinPlatform/identity/FileReading.h"
#include "TavelinPlatform/identity/OpenSslHandles.h"

namespace tavelin {

bool isAcceptableIdentifier(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > maximumIdentifierLength) {
        return false;
    }
    return std::none_of(identifier.begin(), identifier.end(), [](char character) {
        const auto byte = static_cast<unsigned char>(character);
        return byte < 0x20 || byte == 0x7F;
    });
}

Expected<SignedRecord, IdentityError> decodeSignedRecord(std::span<const std::uint8_t> bytes) {
    ByteReader reader(bytes);
    const auto magic = reader.readBytes(signedRecordMagic.size());
    const auto contentLength = reader.readUnsigned(8, ByteOrder::littleEndian);
    const auto digest = reader.readBytes(Sha256Digest{}.size());
    const auto identifierLength = reader.readUnsigned(2, ByteOrder::littleEndian);
    if (!magic || *magic != signedRecordMagic || !contentLength || !digest || !identifierLength) {
        return identityError("signed record is malformed");
    }
    if (reader.remaining() != *identifierLength) {
        return identityError("signed record has a wrong length");
    }
    SignedRecord record;
    record.contentLength = *contentLength;
    std::copy(digest->begin(), digest->end(), record.contentDigest.begin());
    record.identifier = std::string(reader.rest());
    if (!isAcceptableIdentifier(record.identifier)) {
        return identityError("signed record holds an unacceptable identifier");
    }
    return record;
}

Expected<Sha256Digest, IdentityError> digestFilePrefix(int fd, std::uint64_t length) {
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return identityError("SHA-256: " + takeOpenSslError());
    }
    std::vector<std::uint8_t> chunk(std::size_t{256} * 1024);
    std::uint64_t offset = 0;
    while (offset < length) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - offset));
        std::span<std::uint8_t> part(chunk.data(), size);
        if (auto read = readExactlyAt(fd, part, offset); !read) {
            return Unexpected(read.error());
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
