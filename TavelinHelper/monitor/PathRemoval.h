#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

// The remove-system-paths operation. Filters `paths` through the removable-path policy
// (relative paths judged against fs.currentDirectory()), then for each allowed path, in
// order: measures it, removes it as the client spelled it, and on success adds the size
// and logs "[TavelinHelper] removed <path> (<n> bytes)", the path cut as loggedPath does.
// Answers success exactly when no
// removal failed, the message "N Pfade entfernt[, R durch Policy abgelehnt][, F
// fehlgeschlagen]" and the bytes freed (stopping at INT64_MAX). Never throws; failures are
// counted, never logged.
[[nodiscard]] PrivilegedResult removeSystemPaths(const std::vector<std::string>& paths,
                                                 const ClientFileSystem& fs, LogSink& log);

}  // namespace tavelin
