#include "TavelinPlatform/process/PeerCode.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

namespace {

// One line of /proc/<pid>/maps, as far as we need it:
//   "<start>-<end> <perms> <offset> <major>:<minor> <inode> <padding><path>"
struct Mapping {
    unsigned long long start = 0;
    unsigned long long end = 0;
    bool executable = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string_view path;  // may be empty, "[vdso]", or end in " (deleted)"
};

std::string_view nextField(std::string_view& line) {
    const std::size_t end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
    return field;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

std::optional<Mapping> parseMapping(std::string_view line) {
    Mapping mapping;
    const std::string_view range = nextField(line);
    const std::size_t dash = range.find('-');
    const std::string_view permissions = nextField(line);
    nextField(line);  // offset
    const std::string_view device = nextField(line);
    const std::string_view inode = nextField(line);
    const std::size_t colon = device.find(':');
    unsigned int major = 0;
    unsigned int minor = 0;
    unsigned long long inodeNumber = 0;
    if (dash == std::string_view::npos || !parseNumber(range.substr(0, dash), mapping.start, 16) ||
        !parseNumber(range.substr(dash + 1), mapping.end, 16) || permissions.size() != 4 ||
        colon == std::string_view::npos || !parseNumber(device.substr(0, colon), major, 16) ||
        !parseNumber(device.substr(colon + 1), minor, 16) || !parseNumber(inode, inodeNumber, 10)) {
        return std::nullopt;
    }
    mapping.executable = permissions[2] == 'x';
    mapping.device = makedev(major, minor);
    mapping.inode = static_cast<ino_t>(inodeNumber);
    const std::size_t pathStart = line.find_first_not_of(' ');
    mapping.path =
        pathStart == std::string_view::npos ? std::string_view{} : line.substr(pathStart);
    return mapping;
}

bool readBounded(int fd, std::string& text, std::size_t limit) {
    char buffer[16384];
    for (;;) {
        const ssize_t count = retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (text.size() + static_cast<std::size_t>(count) > limit) {
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

// Hex digits without padding: 64 bits fit in 16.
std::string hex(unsigned long long value) {
    char digits[16];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value, 16).ptr);
}

// The mapping's entry in map_files. maps pads addresses to eight digits, map_files names
// them unpadded: below 0x10000000 (a non-PIE or static executable, a library mapped low)
// the range as maps prints it names no entry there.
std::string mapFilesEntry(const Mapping& mapping) {
    return "map_files/" + hex(mapping.start) + "-" + hex(mapping.end);
}

// The status of the file behind a mapping, proven to be the mapped inode. map_files leads
// to the mapping's own file, so its inode number must agree with the maps line; its device
// need not: on overlayfs the maps line names the layer's device, the file the overlay's.
// Stat follows map_files' link to that file just as an open does, and spares opening and
// closing a descriptor for each mapping.
std::optional<struct stat> mappedFileStatus(int procDirectory, const Mapping& mapping) {
    const std::string entry = mapFilesEntry(mapping);
    struct stat status {};
    int result =
        retryOnInterrupt([&] { return ::fstatat(procDirectory, entry.c_str(), &status, 0); });
    bool byPath = false;
    if (result != 0 && (errno == EPERM || errno == EACCES) && !mapping.path.empty() &&
        mapping.path.front() == '/') {
        // map_files needs CAP_SYS_ADMIN; a daemon run under an ordinary account goes by the
        // path instead. The path may since name another file: only the same device and
        // inode count.
        const std::string path(mapping.path);
        result = retryOnInterrupt(
            [&] { return ::fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW); });
        byPath = true;
    }
    if (result != 0 || status.st_ino != mapping.inode ||
        (byPath && status.st_dev != mapping.device)) {
        return std::nullopt;
    }
    return status;
}

bool inOurUserNamespace(int procDirectory, const CodeTrust& trust) {
    struct stat status {};
    return ::fstatat(procDirectory, "ns/user", &status, 0) == 0 &&
           status.st_dev == trust.userNamespaceDevice && status.st_ino == trust.userNamespaceInode;
}

}  // namespace

std::string_view peerCodeFindingName(PeerCodeFinding finding) noexcept {
    switch (finding) {
        case PeerCodeFinding::clean:
            return "clean";
        case PeerCodeFinding::otherUserNamespace:
            return "other user namespace";
        case PeerCodeFinding::executableNotMapped:
            return "executable not mapped";
        case PeerCodeFinding::foreignCodeMapped:
            return "foreign code mapped";
        case PeerCodeFinding::mappingsUnreadable:
            return "mappings unreadable";
        case PeerCodeFinding::withoutClientGroup:
            return "without the client group";
        case PeerCodeFinding::executableNotTrusted:
            return "executable not trusted";
    }
    return "unknown";
}

Expected<CodeTrust, SystemError> CodeTrust::ofThisProcess(std::optional<uid_t> developer,
                                                          std::optional<gid_t> clientGroup) {
    struct stat status {};
    if (::stat("/proc/self/ns/user", &status) != 0) {
        return lastSystemError("stat", "/proc/self/ns/user");
    }
    return CodeTrust{developer, status.st_dev, status.st_ino, clientGroup};
}

bool CodeTrust::trustsCodeFile(const struct stat& status) const noexcept {
    const bool trustedOwner = status.st_uid == 0 || (developer && status.st_uid == *developer);
    return trustedOwner && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

PeerCodeFinding examinePeerCode(int procDirectory, const struct stat& executable,
                                const CodeTrust& trust) {
    if (!inOurUserNamespace(procDirectory, trust)) {
        return PeerCodeFinding::otherUserNamespace;
    }
    const UniqueFd maps(
        retryOnInterrupt([&] { return ::openat(procDirectory, "maps", O_RDONLY | O_CLOEXEC); }));
    std::string text;
    if (!maps || !readBounded(maps.get(), text, maxMappingsBytes)) {
        return PeerCodeFinding::mappingsUnreadable;
    }
    bool executableMapped = false;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const std::optional<Mapping> mapping = parseMapping(line);
        if (!mapping) {
            return PeerCodeFinding::mappingsUnreadable;
        }
        if (!mapping->executable || mapping->inode == 0) {
            continue;  // data, or anonymous code
        }
        const std::optional<struct stat> file = mappedFileStatus(procDirectory, *mapping);
        if (!file) {
            return PeerCodeFinding::foreignCodeMapped;
        }
        const bool isExecutable =
            file->st_dev == executable.st_dev && file->st_ino == executable.st_ino;
        if (!trust.trustsCodeFile(*file)) {
            return isExecutable ? PeerCodeFinding::executableNotTrusted
                                : PeerCodeFinding::foreignCodeMapped;
        }
        executableMapped = executableMapped || isExecutable;
    }
    return executableMapped ? PeerCodeFinding::clean : PeerCodeFinding::executableNotMapped;
}

}  // namespace tavelin
