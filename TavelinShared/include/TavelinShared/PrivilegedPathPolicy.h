#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

// Decides which client paths the daemon may remove (or repair). Pure and thread-safe.
namespace tavelin::PrivilegedPathPolicy {

inline constexpr std::array<std::string_view, 5> allowedPrefixes = {
    "/Library/Caches/", "/Library/Logs/", "/System/Library/Caches/",
    "/private/var/folders/", "/private/var/log/"};

inline constexpr std::array<std::string_view, 10> deniedExact = {
    "/", "/System", "/Library", "/private", "/private/var",
    "/usr", "/bin", "/sbin", "/Applications", "/Users"};

// The lexical normal form the checks read: made absolute against `currentDirectory`
// (itself absolute), "." segments dropped, ".." segments resolved, repeated slashes
// collapsed, no trailing slash unless the result is "/". Never touches the file system.
[[nodiscard]] std::string normalize(std::string_view path, std::string_view currentDirectory);

// True when the path lies strictly below one allowed prefix, names no denied entry and
// holds no ".." after normalisation. Empty strings and strings with a NUL are refused.
[[nodiscard]] bool isRemovable(std::string_view path, std::string_view currentDirectory);
// As above, against the process's current directory.
[[nodiscard]] bool isRemovable(std::string_view path);

// The removable paths of `paths`, unchanged and in input order (duplicates kept).
[[nodiscard]] std::vector<std::string> sanitize(const std::vector<std::string>& paths,
                                                std::string_view currentDirectory);
[[nodiscard]] std::vector<std::string> sanitize(const std::vector<std::string>& paths);

}  // namespace tavelin::PrivilegedPathPolicy
