#include "DirectoryListing.h"

#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

namespace tavelin {

namespace {

// Large enough that a folder of a few hundred entries is read in one call.
constexpr std::size_t scratchSize = std::size_t{32} * 1024;

bool isDotOrDotDot(const char* name) noexcept {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

int DirectoryListing::read(int fd, std::vector<char>& scratch) {
    if (scratch.size() < scratchSize) {
        scratch.resize(scratchSize);
    }
    for (;;) {
        const ssize_t count = ::getdents64(fd, scratch.data(), scratch.size());
        if (count == 0) {
            return 0;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        std::size_t offset = 0;
        while (offset < static_cast<std::size_t>(count)) {
            // The kernel aligns every record to 8 bytes within the buffer.
            const auto* entry = reinterpret_cast<const dirent64*>(scratch.data() + offset);
            if (!isDotOrDotDot(entry->d_name)) {
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
