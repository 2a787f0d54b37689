#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "SystemError.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

// What the update tool is always given, in this order (argv[0] is the tool's path).
inline constexpr std::array<std::string_view, 3> updateToolArguments = {
    "--install", "--all", "--agree-to-license"};

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
// Fails only when the tool cannot be started, with the errno of posix_spawn.
[[nodiscard]] std::variant<ToolRun, SystemError> runCollectingOutput(
    const std::string& toolPath, const std::vector<std::string>& arguments);

// The install-system-updates operation: runs `toolPath` with updateToolArguments and
// answers SoftwareUpdateEvaluation::result of its status and its output decoded as UTF-8
// (each ill-formed sequence becomes U+FFFD). A tool that cannot be started answers
// success false, "Start fehlgeschlagen: " + the system's error text (e.g. "No such file or
// directory"), freedBytes 0. Logs nothing. Throws only std::bad_alloc and std::system_error
// (no thread could be started); the child is killed and reaped before either leaves.
[[nodiscard]] PrivilegedResult installSystemUpdates(const std::string& toolPath);

}  // namespace tavelin
