#pragma once

#include <algorithm>
#include <string_view>

#include "TavelinShared/PathLayout.h"

// The folders of the layout this build compiled, for tests to spell their paths with: the
// same rows then plant, ask for and expect the same things in every layout.
namespace tavelin::testing::layout {

constexpr std::string_view withoutSlash(std::string_view folder) {
    return folder.substr(0, folder.size() - 1);
}

// The first and second removable areas: "/Library/Caches" | "/var/cache" and
// "/Library/Logs" | "/var/log".
inline constexpr std::string_view firstArea = withoutSlash(PathLayout::allowedPrefixes[0]);
inline constexpr std::string_view secondArea = withoutSlash(PathLayout::allowedPrefixes[1]);
// The last removable area: "/private/var/log" | "/var/lib/systemd/coredump".
inline constexpr std::string_view lastArea = withoutSlash(PathLayout::allowedPrefixes.back());
// Where repair reaches beyond the areas: "/Library" | "/opt".
inline constexpr std::string_view repairFolder = withoutSlash(PathLayout::repairPrefix);

// Whether `folder` + `name` lies in a removable area; `folder` ends in "/", `name` too.
constexpr bool inAnArea(std::string_view folder, std::string_view name) {
    return std::any_of(PathLayout::allowedPrefixes.begin(), PathLayout::allowedPrefixes.end(),
                       [&](std::string_view area) {
                           return area.size() <= folder.size()
                                      ? folder.starts_with(area)
                                      : area.starts_with(folder) &&
                                            name.starts_with(area.substr(folder.size()));
                       });
}

// Tests take repairFolder + "/Preferences" for a folder only repair reaches, and the last
// area for one that repair reaches without the repair folder.
static_assert(!inAnArea(PathLayout::repairPrefix, "Preferences/"));
static_assert(!lastArea.starts_with(PathLayout::repairPrefix));

}  // namespace tavelin::testing::layout
