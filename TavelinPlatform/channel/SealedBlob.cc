#include "TavelinPlatform/channel/SealedBlob.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <utility>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin::channel {

namespace {

constexpr int requiredSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

}  // namespace

Expected<BlobWriter, SystemError> BlobWriter::create() {
    UniqueFd blob(::memfd_create("tavelin-blob", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!blob) {
        return lastSystemError("memfd_create");
    }
    return BlobWriter(std::move(blob));
}

Status<SystemError> BlobWriter::write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = retryOnInterrupt(
            [&] { return ::write(blob_.get(), bytes.data() + done, bytes.size() - done); });
        if (written < 0) {
            return lastSystemError("write", "blob");
        }
        done += static_cast<std::size_t>(written);
    }
    return {};
}

Expected<UniqueFd, SystemError> BlobWriter::seal() && {
    if (::fcntl(blob_.get(), F_ADD_SEALS, requiredSeals) != 0) {
        return lastSystemError("fcntl(F_ADD_SEALS)");
    }
    return std::move(blob_);
}

Expected<BlobReader, SystemError> BlobReader::open(int fd, std::size_t maxBytes) {
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
    return BlobReader(fd, static_cast<std::size_t>(status.st_size));
}

Status<SystemError> BlobReader::read(char* out, std::size_t count) {
    if (count > remaining()) {
        return systemError(EIO, "blob");
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t read = retryOnInterrupt([&] {
            return ::pread(fd_, out + done, count - done, static_cast<off_t>(offset_ + done));
        });
        if (read <= 0) {
            return read < 0 ? lastSystemError("read", "blob") : systemError(EIO, "blob");
        }
        done += static_cast<std::size_t>(read);
    }
    offset_ += count;
    return {};
}

Expected<UniqueFd, SystemError> makeSealedBlob(std::string_view bytes) {
    auto writer = BlobWriter::create();
    if (!writer) {
        return Unexpected(std::move(writer).error());
    }
    if (auto written = writer->write(bytes); !written) {
        return Unexpected(std::move(written).error());
    }
    return std::move(*writer).seal();
}

Expected<std::string, SystemError> readSealedBlob(int fd, std::size_t maxBytes) {
    auto reader = BlobReader::open(fd, maxBytes);
    if (!reader) {
        return Unexpected(std::move(reader).error());
    }
    std::string bytes(reader->size(), '\0');
    if (auto read = reader->read(bytes.data(), bytes.size()); !read) {
        return Unexpected(std::move(read).error());
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

Expected<BlobReader, SystemError> openAttachedBlob(const Attachment& attachment, int blob,
                                                   std::size_t maxBytes) {
    auto reader = BlobReader::open(blob, maxBytes);
    if (reader && reader->size() != attachment.length) {
        return systemError(EPROTO, "blob length");
    }
    return reader;
}

Expected<std::string, SystemError> attachedBytes(Attachment attachment, int blob,
                                                 std::size_t maxBytes) {
    if (!attachment.inBlob()) {
        return std::move(attachment.inlineBytes);
    }
    auto reader = openAttachedBlob(attachment, blob, maxBytes);
    if (!reader) {
        return Unexpected(std::move(reader).error());
    }
    std::string bytes(reader->size(), '\0');
    if (auto read = reader->read(bytes.data(), bytes.size()); !read) {
        return Unexpected(std::move(read).error());
    }
    return bytes;
}

}  // namespace tavelin::channel
