#include "TavelinPlatform/fs/DirectoryListing.h"

#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/fs/DotName.h"

namespace tavelin {

namespace {

// Large enough that a folder of a few hundred entries is read in one call.
constexpr std::size_t scratchSize = std::size_t{32} * 1024;

}  // namespace

Status<SystemError> DirectoryListing::read(int fd, std::vector<char>& scratch) {
    if (scratch.size() < scratchSize) {
        scratch.resize(scratchSize);
    }
    for (;;) {
        const ssize_t count =
            retryOnInterrupt([&] { return ::getdents64(fd, scratch.data(), scratch.size()); });
        if (count == 0) {
            return {};
        }
        if (count < 0) {
            return lastSystemError("getdents64");
        }
        std::size_t offset = 0;
        while (offset < static_cast<std::size_t>(count)) {
            // The kernel aligns every record to 8 bytes within the buffer.
            const auto* entry = reinterpret_cast<const dirent64*>(scratch.data() + offset);
            if (!isDotName(entry->d_name)) {
                const std::size_t length = std::strlen(entry->d_name);
                names_.insert(names_.end(), entry->d_name, entry->d_name + length + 1);
            }
            offset += entry->d_reclen;
        }
    }
}

std::size_t DirectoryListing::nextPosition(std::size_t position) const noexcept {
    return position + std::strlen(nameAt(position)) + 1;
}

}  // namespace tavelin
