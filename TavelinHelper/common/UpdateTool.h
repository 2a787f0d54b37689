#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "TavelinHelper/common/ToolRun.h"
#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {

// The update tool and how it is always run, by the daemon itself or by the update runner
// on its behalf: the same program, arguments, environment, directory, mask and limits.

// The build's path layout names it (cmake/PathLayout.cmake): the system's own tool, or on a
// Linux host tavelin-system-update, which upgrades with the host's package manager.
inline constexpr std::string_view updateToolPath = TAVELIN_UPDATE_TOOL;

// What the update tool is always given, in this order (argv[0] is the tool's path).
inline constexpr std::array<std::string_view, 3> updateToolArguments = {"--install", "--all",
                                                                        "--agree-to-license"};

// The update tool's whole environment: a fixed search path, and the C locale so that it
// speaks the English the verdict's phrases are in. Nothing of the daemon's own environment
// reaches it.
inline constexpr std::array<std::string_view, 2> updateToolEnvironment = {
    "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C"};

// Where the update tool starts, so it holds no directory of the daemon's open.
inline constexpr std::string_view updateToolWorkingDirectory = "/";

// The file mode creation mask the update tool runs with: what it creates is writable by its
// owner only, readable by everyone.
inline constexpr mode_t updateToolUmask = 022;

// A run still going after this long is taken to hang, and its process group is killed.
// Downloading and installing a large system update on a slow line can take hours.
inline constexpr std::chrono::hours updateToolTimeout{6};
// How long something the tool left behind may keep the output pipe open after the tool
// itself has ended, before the run answers with what it has.
inline constexpr std::chrono::seconds updateToolDrain{5};

// Sets this process's umask to updateToolUmask. posix_spawn cannot give a child a mask of
// its own and the mask belongs to the whole process, so the daemon's main (and the update
// runner's) calls this once at start-up, before any thread starts, and nothing changes the
// mask afterwards: every tool the process starts inherits it. Neither creates files of its
// own, so nothing else depends on it.
void applyUpdateToolUmask() noexcept;

// Runs `toolPath` as the update tool is always run (runTool): updateToolArguments, the
// environment exactly updateToolEnvironment, working directory "/", standard input
// /dev/null, a process group of its own, and the umask the process has. Returns and throws
// what runTool does.
[[nodiscard]] Expected<std::int32_t, SystemError> runUpdateTool(const std::string& toolPath,
                                                                const ToolRunLimits& limits,
                                                                const OutputConsumer& consume);

}  // namespace tavelin
