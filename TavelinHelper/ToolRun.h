#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SystemError.h"

namespace tavelin {

// One finished run of a tool: its termination status and everything it wrote.
struct ToolRun {
    // The exit code, or for a child ended by a signal the signal number (SIGKILL gives 9;
    // see ChildTermination::status). -1 if the child was reaped behind our back and its
    // status is lost.
    std::int32_t status = 0;
    // Standard output and standard error as one byte stream, in the order written, every
    // byte exactly once. Not decoded.
    std::string output;
};

// Starts `toolPath` with `arguments` (see spawnWithCombinedOutput: inherited environment,
// working directory and stdin, one pipe for stdout and stderr, no other descriptor), lets
// a second thread collect the pipe into a LockedData while the child runs, waits for the
// child, then reads the pipe to end of file and returns status and output.
//
// Blocks with no time limit: until the child has ended AND every process holding the
// pipe's write end (a background process the tool left behind, say) has closed it.
// Fails only when the tool cannot be started, with the errno of posix_spawn. Throws only
// std::bad_alloc and std::system_error (no thread could be started); the child is killed
// and reaped before either leaves.
[[nodiscard]] Expected<ToolRun, SystemError> runCollectingOutput(
    const std::string& toolPath, const std::vector<std::string>& arguments);

}  // namespace tavelin
