#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin {

// How long one run of a tool may take.
struct ToolRunLimits {
    // From the start until the tool, with its whole process group when it leads one, is
    // killed (SIGKILL); the run then reports the signal's status (9).
    std::chrono::milliseconds timeout;
    // After the tool has ended, how long whatever it left behind may keep the output pipe
    // open before the run stops reading and reports what it has.
    std::chrono::milliseconds drain;
    // A descriptor whose becoming readable or hung up ends the run as the timeout does
    // (the one who asked for the run has gone away); -1 for none. Not owned.
    int giveUp = -1;
};

// Receives a tool's standard output and standard error as one byte stream, in the order
// written, every byte read exactly once, chunk by chunk on the collecting thread; calls
// never overlap. Chunks are cut anywhere. It may throw (out of memory): from then on the
// pipe is drained without it, and the exception reaches the caller of runTool once the
// child has been reaped.
using OutputConsumer = std::function<void(std::string_view)>;

// Starts `toolPath` with `arguments` as `options` say (spawnWithCombinedOutput: one pipe for
// stdout and stderr, no other descriptor), lets a second thread read the pipe into
// `consume` while the child runs, and returns the child's status: the exit code, or for a
// child ended by a signal the signal number (ChildTermination::status); -1 if the child was
// reaped behind our back and its status is lost.
//
// Bounded in time: a child still running after limits.timeout is killed, with its process
// group if it leads one; once it has ended, reading stops at end of file or at most
// limits.drain later, whichever comes first, so a background process holding the pipe
// cannot keep the run going. Bytes that arrive after that are never read.
//
// Fails only when the tool cannot be started (the errno of the failed step, see
// spawnWithCombinedOutput) or no eventfd is left for stopping the reader. Throws only what
// `consume` throws, std::bad_alloc, and std::system_error (no thread could be started); the
// child is killed and reaped before any of them leaves.
[[nodiscard]] Expected<std::int32_t, SystemError> runTool(const std::string& toolPath,
                                                          const std::vector<std::string>& arguments,
                                                          const SpawnOptions& options,
                                                          const ToolRunLimits& limits,
                                                          const OutputConsumer& consume);

}  // namespace tavelin
