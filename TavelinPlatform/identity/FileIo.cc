#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "SystemError.h"

namespace tavelin {

namespace {

IdentityError errnoError(const std::string& context, int errorNumber) {
    return identityError(context + ": " + systemErrorText(errorNumber));
}

}  // namespace

Outcome<Done> readExactlyAt(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t count = ::pread(fd, buffer.data() + done, buffer.size() - done,
                                      static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errnoError("read", errno);
        }
        if (count == 0) {
            return identityError("read: unexpected end of file");
        }
        done += static_cast<std::size_t>(count);
    }
    return Done{};
}

Outcome<Done> writeAllAt(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return errnoError("write", errno);
        }
        done += static_cast<std::size_t>(count);
    }
    return Done{};
}

Outcome<std::uint64_t> regularFileSize(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return errnoError("fstat", errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return identityError("not a regular file");
    }
    return static_cast<std::uint64_t>(status.st_size);
}

Outcome<UniqueFd> openFile(const std::string& path, int flags) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errnoError(path, errno);
    }
    return UniqueFd(fd);
}

Outcome<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    auto file = openFile(path, O_RDONLY);
    if (!file) {
        return file.error();
    }
    auto size = regularFileSize(file.value().get());
    if (!size) {
        return identityError(path + ": " + size.error().message);
    }
    if (size.value() > limit) {
        return identityError(path + ": file too large");
    }
    std::string text(static_cast<std::size_t>(size.value()), '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(text.data());
    if (auto read = readExactlyAt(file.value().get(), {bytes, text.size()}, 0); !read) {
        return identityError(path + ": " + read.error().message);
    }
    return text;
}

Outcome<Done> writeWholeFile(const std::string& path, const std::string& text, mode_t mode) {
    auto file = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (!file) {
        return file.error();
    }
    // The mode given to open() only applies to new files; an older key file keeps
    // whatever it had unless we set it here.
    if (::fchmod(file.value().get(), mode) != 0) {
        return errnoError(path, errno);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (auto written = writeAllAt(file.value().get(), {bytes, text.size()}, 0); !written) {
        return identityError(path + ": " + written.error().message);
    }
    return Done{};
}

}  // namespace tavelin
