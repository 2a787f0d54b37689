#include "TavelinPlatform/identity/FileReading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin {

Status<IdentityError> readExactlyAt(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t count = retryOnInterrupt([&] {
            return ::pread(fd, buffer.data() + done, buffer.size() - done,
                           static_cast<off_t>(offset + done));
        });
        if (count < 0) {
            return identityError(lastSystemError("read"));
        }
        if (count == 0) {
            return identityError("read: unexpected end of file");
        }
        done += static_cast<std::size_t>(count);
    }
    return {};
}

Expected<std::uint64_t, IdentityError> regularFileSize(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return identityError(lastSystemError("fstat"));
    }
    if (!S_ISREG(status.st_mode)) {
        return identityError("not a regular file");
    }
    return static_cast<std::uint64_t>(status.st_size);
}

Expected<UniqueFd, IdentityError> openFile(const std::string& path, int flags) {
    const int fd = retryOnInterrupt(
        [&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600); });
    if (fd < 0) {
        return identityError(lastSystemError(path));
    }
    return UniqueFd(fd);
}

Expected<std::string, IdentityError> readSmallFile(const std::string& path, std::size_t limit) {
    auto file = openFile(path, O_RDONLY);
    if (!file) {
        return Unexpected(file.error());
    }
    auto size = regularFileSize(file->get());
    if (!size) {
        return identityError(path + ": ", size.error());
    }
    if (*size > limit) {
        return identityError(path + ": file too large");
    }
    std::string text(static_cast<std::size_t>(*size), '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(text.data());
    if (auto read = readExactlyAt(file->get(), {bytes, text.size()}, 0); !read) {
        return identityError(path + ": ", read.error());
    }
    return text;
}

}  // namespace tavelin
