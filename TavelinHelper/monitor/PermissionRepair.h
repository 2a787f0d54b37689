#pragma once

#include <string>

#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

// The repair-permissions operation: sets the item at `path` (as received) to 0755, the item
// alone, never a link's target. Admitted when PrivilegedPathPolicy::isRepairable accepts the
// path (relative paths judged against fs.currentDirectory()): removable, or below the
// layout's repair folder ("/Library/" in the reference layout) even after lexical
// normalisation (so "/Library/../etc" is refused). Answers
// "Rechte gesetzt: " + path on success, "Pfad außerhalb der zulässigen Bereiche" when not
// admitted, and the system's error text (e.g. "No such file or directory"; a link at the
// path gives "Too many levels of symbolic links") when the change fails. freedBytes is
// always 0. Never throws and logs nothing.
[[nodiscard]] PrivilegedResult repairPermissions(const std::string& path,
                                                 const ClientFileSystem& fs);

}  // namespace tavelin
