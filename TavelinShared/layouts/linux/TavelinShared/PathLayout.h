#pragma once

#include <array>
#include <string_view>

// The host's own cache, log, temporary and crash folders (Debian, Ubuntu, Fedora).
// docs/path-layouts.md gives the reason for every protected subtree; CMake's
// TAVELIN_PATH_LAYOUT picks a layout.
namespace tavelin::PathLayout {

inline constexpr std::string_view name = "linux";

// Directories whose contents may go; each is absolute and ends in "/", none is a prefix of
// another. The directories themselves are never removable, only what lies strictly below.
inline constexpr std::array<std::string_view, 5> allowedPrefixes = {
    "/var/cache/", "/var/log/", "/var/tmp/", "/var/crash/", "/var/lib/systemd/coredump/"};

// Paths refused by whole-string equality (never as prefixes), in normalised form.
inline constexpr std::array<std::string_view, 10> deniedExact = {
    "/", "/var", "/var/lib", "/var/lib/systemd", "/usr", "/bin", "/sbin", "/etc", "/home", "/root"};

// Paths refused together with everything below them, in normalised form: state that lives
// in a cache or log folder but is not regenerated, so deleting it damages the system.
inline constexpr std::array<std::string_view, 7> protectedSubtrees = {
    "/var/cache/debconf",  // the package system's configuration answers and passwords
    "/var/cache/bind",     // the name server's zones, their journals and its DNSSEC keys
    "/var/log/journal",    // the journal's persistent store: gone, logging stops persisting
    "/var/log/audit",      // the audit trail: gone, the audit daemon stops recording
    "/var/log/wtmp",       // login records: writers never create them, so logins go
    "/var/log/btmp",       // unrecorded until the next boot
    "/var/log/lastlog",
};

// Paths refused when their normalised form begins with one of these texts: folders whose
// names carry a varying suffix. Each running service with a private temporary folder has
// one here; removing it pulls that folder from under the service.
inline constexpr std::array<std::string_view, 1> protectedNamePrefixes = {
    "/var/tmp/systemd-private-"};

// Where a permission repair may also reach; absolute and ends in "/".
inline constexpr std::string_view repairPrefix = "/opt/";

}  // namespace tavelin::PathLayout
