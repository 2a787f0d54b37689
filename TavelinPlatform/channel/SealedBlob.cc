#include "TavelinPlatform/channel/SealedBlob.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin::channel {

namespace {

constexpr int requiredSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

}  // namespace

Expected<UniqueFd, SystemError> makeSealedBlob(std::string_view bytes) {
    UniqueFd blob(::memfd_create("tavelin-blob", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!blob) {
        return lastSystemError("memfd_create");
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = retryOnInterrupt(
            [&] { return ::write(blob.get(), bytes.data() + done, bytes.size() - done); });
        if (written < 0) {
            return lastSystemError("write", "blob");
        }
        done += static_cast<std::size_t>(written);
    }
    if (::fcntl(blob.get(), F_ADD_SEALS, requiredSeals) != 0) {
        return lastSystemError("fcntl(F_ADD_SEALS)");
    }
    return blob;
}

Expected<std::string, SystemError> readSealedBlob(int fd, std::size_t maxBytes) {
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & requiredSeals) != requiredSeals) {
        return systemError(EPERM, "blob not sealed");
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return lastSystemError("fstat", "blob");
    }
    if (status.st_size < 0 || static_cast<std::size_t>(status.st_size) > maxBytes) {
        return systemError(EFBIG, "blob");
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = retryOnInterrupt([&] {
            return ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        });
        if (count <= 0) {
            return count < 0 ? lastSystemError("read", "blob") : systemError(EIO, "blob");
        }
        done += static_cast<std::size_t>(count);
    }
    return bytes;
}

Expected<Attached, SystemError> attach(std::string bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return systemError(EFBIG, "attachment");
    }
    Attached attached;
    attached.attachment.length = static_cast<std::uint32_t>(bytes.size());
    if (!attached.attachment.inBlob()) {
        attached.attachment.inlineBytes = std::move(bytes);
        return attached;
    }
    auto blob = makeSealedBlob(bytes);
    if (!blob) {
        return Unexpected(std::move(blob).error());
    }
    attached.blob = std::move(blob).value();
    return attached;
}

Expected<std::string, SystemError> attachedBytes(Attachment attachment, int blob,
                                                 std::size_t maxBytes) {
    if (!attachment.inBlob()) {
        return std::move(attachment.inlineBytes);
    }
    auto bytes = readSealedBlob(blob, maxBytes);
    if (bytes && bytes->size() != attachment.length) {
        return systemError(EPROTO, "blob length");
    }
    return bytes;
}

}  // namespace tavelin::channel
