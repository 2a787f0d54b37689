#include "TavelinShared/PrivilegedPathPolicy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace tavelin::PrivilegedPathPolicy {

namespace {

static_assert(repairPrefix.size() > 1 && repairPrefix.front() == '/' && repairPrefix.back() == '/',
              "the repair folder is absolute, ends in a slash and is not the root");

// A removal takes a folder with everything below it, so a protected entry is safe only if
// no removable folder holds it: it must lie directly in an allowed folder, which itself is
// never removable.
constexpr bool liesDirectlyInAnAllowedFolder(std::string_view entry) {
    const std::size_t lastSlash = entry.rfind('/');
    return std::any_of(allowedPrefixes.begin(), allowedPrefixes.end(),
                       [entry, lastSlash](std::string_view prefix) {
                           return lastSlash != std::string_view::npos &&
                                  entry.substr(0, lastSlash + 1) == prefix;
                       });
}
static_assert(std::all_of(protectedSubtrees.begin(), protectedSubtrees.end(),
                          liesDirectlyInAnAllowedFolder) &&
                  std::all_of(protectedNamePrefixes.begin(), protectedNamePrefixes.end(),
                              liesDirectlyInAnAllowedFolder),
              "every protected entry lies directly in an allowed folder");

bool isAbsolute(std::string_view path) {
    return !path.empty() && path.front() == '/';
}

bool containsNul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

// Appends the segments of `path` to `segments`, resolving "." and ".." as it goes.
// In an absolute path a ".." at the top is dropped (the parent of "/" is "/"); in a
// relative one it is kept, because there is nothing lexical to resolve it against.
void appendSegments(std::string_view path, bool absolute, std::vector<std::string_view>& segments) {
    std::size_t position = 0;
    while (position <= path.size()) {
        std::size_t end = path.find('/', position);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view segment = path.substr(position, end - position);
        position = end + 1;
        if (segment.empty() || segment == ".") {
            continue;  // repeated or trailing slash, or a "." segment
        }
        if (segment == "..") {
            if (!segments.empty() && segments.back() != "..") {
                segments.pop_back();
            } else if (!absolute) {
                segments.push_back(segment);
            }
            continue;
        }
        segments.push_back(segment);
    }
}

// The process's current directory, or nothing when it cannot be read (removed, too deep,
// not reachable from our root).
std::optional<std::string> currentDirectoryOfProcess() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(buffer.find('\0'));
            if (!isAbsolute(buffer)) {
                return std::nullopt;  // e.g. "(unreachable)/..." from older C libraries
            }
            return buffer;
        }
        if (errno != ERANGE || buffer.size() >= (std::size_t{1} << 20U)) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// `path` is `folder` or lies below it; `folder` has no trailing slash.
bool isWithin(std::string_view path, std::string_view folder) {
    return startsWith(path, folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// The checks, in order, on the normalised form.
bool passesChecks(std::string_view normalised) {
    if (!isAbsolute(normalised) || containsNul(normalised)) {
        return false;
    }
    if (normalised.find("..") != std::string_view::npos) {
        return false;
    }
    if (std::find(deniedExact.begin(), deniedExact.end(), normalised) != deniedExact.end()) {
        return false;
    }
    if (std::any_of(
            protectedSubtrees.begin(), protectedSubtrees.end(),
            [normalised](std::string_view subtree) { return isWithin(normalised, subtree); })) {
        return false;
    }
    if (std::any_of(
            protectedNamePrefixes.begin(), protectedNamePrefixes.end(),
            [normalised](std::string_view prefix) { return startsWith(normalised, prefix); })) {
        return false;
    }
    const bool belowSomePrefix = std::any_of(
        allowedPrefixes.begin(), allowedPrefixes.end(),
        [normalised](std::string_view prefix) { return startsWith(normalised, prefix); });
    if (!belowSomePrefix) {
        return false;
    }
    // A normalised path has no trailing slash, so it never equals an entry; kept so that the
    // allowed directories stay protected even if normalisation ever changes.
    return std::none_of(allowedPrefixes.begin(), allowedPrefixes.end(),
                        [normalised](std::string_view prefix) { return normalised == prefix; });
}

}  // namespace

std::string normalize(std::string_view path, std::string_view currentDirectory) {
    std::vector<std::string_view> segments;
    const bool absolute = isAbsolute(path) || isAbsolute(currentDirectory);
    if (!isAbsolute(path)) {
        appendSegments(currentDirectory, absolute, segments);
    }
    appendSegments(path, absolute, segments);

    std::string result;
    for (const std::string_view segment : segments) {
        if (absolute || !result.empty()) {
            result += '/';
        }
        result += segment;
    }
    if (result.empty()) {
        return std::string(1, absolute ? '/' : '.');
    }
    return result;
}

bool isRemovable(std::string_view path, std::string_view currentDirectory) {
    if (path.empty() || containsNul(path)) {
        return false;
    }
    return passesChecks(normalize(path, currentDirectory));
}

bool isRemovable(std::string_view path) {
    if (path.empty() || isAbsolute(path)) {
        return isRemovable(path, std::string_view{});
    }
    const std::optional<std::string> currentDirectory = currentDirectoryOfProcess();
    return currentDirectory.has_value() && isRemovable(path, *currentDirectory);
}

bool isRepairable(std::string_view path, std::string_view currentDirectory) {
    if (isRemovable(path, currentDirectory)) {
        return true;
    }
    // A NUL ends the path the system call sees: "/Library/../etc/x\0/../../Library/y"
    // normalises into the folder but would change /etc/x.
    if (containsNul(path)) {
        return false;
    }
    // Judged on the spelling first, so that a relative path never reaches the repair folder.
    if (!startsWith(path, repairPrefix)) {
        return false;
    }
    const std::string normalised = normalize(path, currentDirectory);
    return isWithin(normalised, repairPrefix.substr(0, repairPrefix.size() - 1));
}

std::vector<std::string> sanitize(const std::vector<std::string>& paths,
                                  std::string_view currentDirectory) {
    std::vector<std::string> removable;
    for (const std::string& path : paths) {
        if (isRemovable(path, currentDirectory)) {
            removable.push_back(path);
        }
    }
    return removable;
}

std::vector<std::string> sanitize(const std::vector<std::string>& paths) {
    const bool anyRelative = std::any_of(paths.begin(), paths.end(), [](const std::string& path) {
        return !path.empty() && !isAbsolute(path);
    });
    if (!anyRelative) {
        return sanitize(paths, std::string_view{});
    }
    // An unreadable current directory leaves "" here, which is not absolute, so every
    // relative path normalises to a relative form and is refused.
    const std::string currentDirectory = currentDirectoryOfProcess().value_or(std::string{});
    return sanitize(paths, currentDirectory);
}

}  // namespace tavelin::PrivilegedPathPolicy
