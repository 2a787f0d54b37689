#pragma once

#include <array>
#include <string_view>

// The folders of the desktop platform the application was first written for. The default
// layout: a build that does not choose one keeps the behaviour the client has always seen.
// docs/path-layouts.md tells the layouts apart; CMake's TAVELIN_PATH_LAYOUT picks one.
namespace tavelin::PathLayout {

inline constexpr std::string_view name = "reference";

// Directories whose contents may go; each is absolute and ends in "/", none is a prefix of
// another. The directories themselves are never removable, only what lies strictly below.
inline constexpr std::array<std::string_view, 5> allowedPrefixes = {
    "/Library/Caches/", "/Library/Logs/", "/System/Library/Caches/", "/private/var/folders/",
    "/private/var/log/"};

// Paths refused by whole-string equality (never as prefixes), in normalised form.
inline constexpr std::array<std::string_view, 10> deniedExact = {
    "/",    "/System", "/Library", "/private",      "/private/var",
    "/usr", "/bin",    "/sbin",    "/Applications", "/Users"};

// Paths refused together with everything below them, in normalised form: none here.
inline constexpr std::array<std::string_view, 0> protectedSubtrees = {};

// Paths refused when their normalised form begins with one of these texts: none here.
inline constexpr std::array<std::string_view, 0> protectedNamePrefixes = {};

// Where a permission repair may also reach; absolute and ends in "/".
inline constexpr std::string_view repairPrefix = "/Library/";

}  // namespace tavelin::PathLayout
