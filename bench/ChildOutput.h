#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin::bench {

// Reads the child's output line by line until a line begins with `prefix` and answers that
// line (without its line feed). Fails the benchmark, showing what the child wrote, when the
// output ends or `limit` passes first.
[[nodiscard]] std::string awaitLine(const ChildWithOutput& child, std::string_view prefix,
                                    std::chrono::seconds limit = std::chrono::seconds(10));

}  // namespace tavelin::bench
