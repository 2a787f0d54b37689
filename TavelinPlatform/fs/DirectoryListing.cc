#include "TavelinPlatform/fs/DirectoryListing.h"

#include <dirent.h>
#include <sys/types.h>

#include <algorithm>
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
    // Each name's inode and where it starts, while the folder is read.
    std::vector<InodeAndName> order;
    for (;;) {
        const ssize_t count =
            retryOnInterrupt([&] { return ::getdents64(fd, scratch.data(), scratch.size()); });
        if (count == 0) {
            sortByInode(order);
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
                order.push_back({entry->d_ino, names_.size()});
                names_.insert(names_.end(), entry->d_name, entry->d_name + length + 1);
            }
            offset += entry->d_reclen;
        }
    }
}

void DirectoryListing::sortByInode(std::vector<InodeAndName>& order) {
    const auto byInode = [](const InodeAndName& a, const InodeAndName& b) {
        return a.inode < b.inode;
    };
    if (std::is_sorted(order.begin(), order.end(), byInode)) {
        return;
    }
    std::sort(order.begin(), order.end(), byInode);
    std::vector<char> sorted;
    sorted.reserve(names_.size());
    for (const InodeAndName& entry : order) {
        const char* name = names_.data() + entry.position;
        sorted.insert(sorted.end(), name, name + std::strlen(name) + 1);
    }
    names_.swap(sorted);
}

std::size_t DirectoryListing::nextPosition(std::size_t position) const noexcept {
    return position + std::strlen(nameAt(position)) + 1;
}

std::size_t DirectoryListing::tailStart(std::size_t after, std::size_t parts) const noexcept {
    const std::size_t begin = nextPosition(after);
    const std::size_t end = endPosition();
    if (begin >= end) {
        return end;
    }
    const std::size_t wanted = end - (end - begin) / (parts < 1 ? 1 : parts);
    if (wanted <= begin) {
        return begin;
    }
    // The first name that starts at or after `wanted`; else the last name.
    const void* terminator = std::memchr(names_.data() + wanted - 1, '\0', end - (wanted - 1));
    std::size_t start = static_cast<const char*>(terminator) - names_.data() + 1;
    if (start >= end) {
        start = end - 1;
        while (start > begin && names_[start - 1] != '\0') {
            --start;
        }
    }
    return start;
}

DirectoryListing DirectoryListing::splitOff(std::size_t position) {
    DirectoryListing tail;
    tail.names_.assign(names_.begin() + static_cast<std::ptrdiff_t>(position), names_.end());
    names_.resize(position);
    return tail;
}

void DirectoryListing::rejoin(DirectoryListing&& tail) {
    names_.insert(names_.end(), tail.names_.begin(), tail.names_.end());
    tail.names_.clear();
}

}  // namespace tavelin
