#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/PathLayout.h"

// Decides which client paths the daemon may remove (or repair). Pure and thread-safe: no
// state, no log lines, no failures; every string gets a yes or a no. The only outside input
// is the process's current directory, read by the overloads without a `currentDirectory`.
namespace tavelin::PrivilegedPathPolicy {

// The folder names come from the layout this build was made with (PathLayout.h, one per
// layout, chosen by CMake's TAVELIN_PATH_LAYOUT); client and daemon compile the same one.
using PathLayout::allowedPrefixes;
using PathLayout::deniedExact;
using PathLayout::protectedNamePrefixes;
using PathLayout::protectedSubtrees;
using PathLayout::repairPrefix;

// The lexical normal form the checks read: made absolute against `currentDirectory`
// (itself absolute), "." segments dropped, ".." segments resolved against the segment
// before them (never above "/": "/../x" is "/x"), repeated slashes collapsed ("a//b" is
// "a/b"), no trailing slash unless the result is "/". An empty `path` stands for the
// current directory. Never touches the file system: symbolic links and directory aliases
// (such as /var for /private/var) are not resolved, so a path spelled through them is
// judged by its spelling. When `currentDirectory` is not absolute (say empty, because it
// could not be read), a relative path stays relative: ".." segments that cannot be
// resolved are kept, and an empty result is ".".
[[nodiscard]] std::string normalize(std::string_view path, std::string_view currentDirectory);

// True when the normalised path lies strictly below one entry of allowedPrefixes, equals no
// entry of deniedExact, is no entry of protectedSubtrees nor below one, begins with no
// entry of protectedNamePrefixes, and holds the text ".." nowhere (a name like "a..b" is
// refused too). Comparisons are byte-exact and case-sensitive; nothing is trimmed. Refused
// regardless of the current directory: the empty string, and any string with a NUL byte
// (C file APIs would stop at the NUL and act on a shorter path than the one judged).
[[nodiscard]] bool isRemovable(std::string_view path, std::string_view currentDirectory);
// As above, against the process's current directory (getcwd); when that cannot be read,
// every relative path is refused.
[[nodiscard]] bool isRemovable(std::string_view path);

// Whether the permission repair may reach `path`: when it is removable, or when it is
// spelled from repairPrefix and its normalised form still lies in repairPrefix (or is that
// folder itself), so "/Library/../etc/x" is refused in the reference layout. A path with
// a NUL byte is refused, as by isRemovable.
[[nodiscard]] bool isRepairable(std::string_view path, std::string_view currentDirectory);

// The removable paths of `paths`, each exactly as given (not normalised), in input order,
// duplicates kept as often as they occur.
[[nodiscard]] std::vector<std::string> sanitize(const std::vector<std::string>& paths,
                                                std::string_view currentDirectory);
// As above, against the process's current directory, read at most once per call.
[[nodiscard]] std::vector<std::string> sanitize(const std::vector<std::string>& paths);

}  // namespace tavelin::PrivilegedPathPolicy
