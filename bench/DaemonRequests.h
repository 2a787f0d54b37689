#pragma once

#include <string>
#include <string_view>

#include "TavelinClient/HelperClient.h"

// The benchmark as the daemon's client.
namespace tavelin::bench {

// A removal that names no path: the whole request path (front, monitor, authorisation
// where polkit is on, the answer) and no file system work.
inline constexpr std::string_view emptyRemoval = R"({"removeSystemPaths":{"_0":[]}})";

// An admitted connection to the daemon named `name`; fails the benchmark otherwise.
[[nodiscard]] HelperClient connectOrFail(const std::string& name);

// The daemon's answer to `request`; fails the benchmark when there is none or it does not
// hold `expected` (e.g. "0 Pfade entfernt").
[[nodiscard]] std::string performOrFail(HelperClient& client, std::string_view request,
                                        std::string_view expected);

}  // namespace tavelin::bench
