#pragma once

#include <array>
#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

// What the update tool is always given, in this order (argv[0] is the tool's path).
inline constexpr std::array<std::string_view, 3> updateToolArguments = {"--install", "--all",
                                                                        "--agree-to-license"};

// The install-system-updates operation: runs `toolPath` with updateToolArguments
// (runCollectingOutput) and answers SoftwareUpdateEvaluation::result of its status and its
// output decoded as UTF-8 (each ill-formed sequence becomes U+FFFD). A tool that cannot be
// started answers success false, "Start fehlgeschlagen: " + the system's error text (e.g.
// "No such file or directory"), freedBytes 0. Logs nothing. Throws only std::bad_alloc and
// std::system_error (no thread could be started); the child is killed and reaped before
// either leaves.
[[nodiscard]] PrivilegedResult installSystemUpdates(const std::string& toolPath);

}  // namespace tavelin
