#pragma once

#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedResult.h"
#include "tools/tavelinctl/CommandLine.h"

namespace tavelin::tavelinctl {

// What tavelinctl makes of the daemon's answer to a task: the exit status, and the line
// for a person (with its '\n'), which goes to standard output when the task was done in
// full and to standard error otherwise.
struct Report {
    int status = exitOperationFailed;
    std::string line;
};

// For remove, repair and update: exitSuccess only when the result says success and, for a
// removal, its summary counts every one of `command`'s paths as removed (the daemon
// reports a path its policy refused as a success that removed fewer paths).
[[nodiscard]] Report reportFor(const Command& command, const PrivilegedResult& result);

}  // namespace tavelin::tavelinctl
