#include "TavelinHelper/front/VerifiedExecutables.h"

#include <algorithm>

namespace tavelin {

FileVersion FileVersion::of(const struct stat& status) noexcept {
    return FileVersion{status.st_dev,         status.st_ino,          status.st_size,
                       status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec,
                       status.st_ctim.tv_nsec};
}

bool VerifiedExecutables::rememberable(const struct stat& status) noexcept {
    // Only root's: any other owner could write its own file (chmod first, if need be),
    // and a development build trusts the developer's files without their being safe from
    // the developer's other programs.
    return S_ISREG(status.st_mode) && status.st_uid == 0 &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

CodeCheck VerifiedExecutables::check(int fd) {
    struct stat before {};
    const bool remembers = ::fstat(fd, &before) == 0 && rememberable(before);
    const FileVersion version = FileVersion::of(before);
    if (remembers && answers(version, std::time(nullptr))) {
        return {CodeCheckResult::satisfied, {}, CodeFault::none};
    }
    CodeCheck check = checkCode(fd, anchor_, requirement_);
    if (check.result != CodeCheckResult::satisfied || !remembers) {
        return check;
    }
    // Written while it was read: what was hashed may be neither version.
    struct stat after {};
    if (::fstat(fd, &after) == 0 && FileVersion::of(after) == version && rememberable(after)) {
        remember(version, check.validity);
    }
    return check;
}

bool VerifiedExecutables::answers(const FileVersion& version, std::time_t now) {
    const MutexLock held(mutex_);
    const auto entry = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& e) { return e.version == version; });
    if (entry == entries_.end()) {
        return false;
    }
    if (!entry->validity.contains(now)) {
        entries_.erase(entry);
        return false;
    }
    entry->lastUse = ++useClock_;
    ++hits_;
    return true;
}

void VerifiedExecutables::remember(const FileVersion& version, const ValidityPeriod& validity) {
    const MutexLock held(mutex_);
    // Another admission may have verified the same version meanwhile.
    auto entry = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.version == version; });
    if (entry == entries_.end()) {
        if (entries_.size() < maxVerifiedExecutables) {
            entries_.reserve(maxVerifiedExecutables);
            entry = entries_.emplace(entries_.end());
        } else {
            entry = std::min_element(
                entries_.begin(), entries_.end(),
                [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
        }
    }
    *entry = Entry{version, validity, ++useClock_};
}

std::size_t VerifiedExecutables::size() const {
    const MutexLock held(mutex_);
    return entries_.size();
}

std::uint64_t VerifiedExecutables::hits() const {
    const MutexLock held(mutex_);
    return hits_;
}

}  // namespace tavelin
