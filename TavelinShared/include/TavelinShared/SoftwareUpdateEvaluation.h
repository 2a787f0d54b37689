#pragma once

#include <cstdint>
#include <string_view>

#include "TavelinShared/PrivilegedResult.h"

// Turns one run of the system update tool into the verdict the client shows.
namespace tavelin::SoftwareUpdateEvaluation {

// `output` is the tool's combined stdout and stderr as valid UTF-8. Pure; never fails.
[[nodiscard]] PrivilegedResult result(std::int32_t exitStatus, std::string_view output);

}  // namespace tavelin::SoftwareUpdateEvaluation
