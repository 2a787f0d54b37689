#include "TavelinHelper/monitor/TrustAnchorFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {
namespace {

std::string octalMode(mode_t mode) {
    char text[8];
    static_cast<void>(std::snprintf(text, sizeof text, "%04o", mode & 07777U));
    return text;
}

// Empty when `status` is owned by a trusted account and writable by it alone.
std::string untrustedBecause(const struct stat& status, std::optional<uid_t> developer) {
    const bool trustedOwner = status.st_uid == 0 || (developer && status.st_uid == *developer);
    if (!trustedOwner || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "owner uid " + std::to_string(status.st_uid) + ", mode " + octalMode(status.st_mode);
    }
    return {};
}

std::string folderOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

constexpr std::string_view requirement = " must be owned by root and writable by no one else";

}  // namespace

Expected<UniqueFd, std::string> openTrustAnchor(std::string_view path,
                                                std::optional<uid_t> developer) {
    const std::string name(path);
    const std::string folderName = folderOf(path);
    const UniqueFd folder(::open(folderName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat folderStatus {};
    if (!folder || ::fstat(folder.get(), &folderStatus) != 0) {
        return Unexpected(lastSystemError("open", folderName).error().describe());
    }
    if (const std::string why = untrustedBecause(folderStatus, developer); !why.empty()) {
        return Unexpected("trust anchor folder " + folderName + std::string(requirement) + " (" +
                          why + ")");
    }
    // Opened in the folder just checked, so the folder that was judged is the one read.
    const std::string leaf = name.substr(name.rfind('/') + 1);
    UniqueFd anchor(::openat(folder.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!anchor || ::fstat(anchor.get(), &status) != 0) {
        return Unexpected(lastSystemError("open", name).error().describe());
    }
    if (!S_ISREG(status.st_mode)) {
        return Unexpected("trust anchor " + name + " is not a regular file");
    }
    if (const std::string why = untrustedBecause(status, developer); !why.empty()) {
        return Unexpected("trust anchor " + name + std::string(requirement) + " (" + why + ")");
    }
    return anchor;
}

}  // namespace tavelin
