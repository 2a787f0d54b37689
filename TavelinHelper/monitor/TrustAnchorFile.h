#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinShared/Expected.h"

namespace tavelin {

// Opens the trust anchor at `path` for the front to read, and refuses one that someone
// but its trusted owner could have written: whoever can write the anchor, or replace it in
// its folder, decides which code the daemon admits. The file and the folder holding it
// must be owned by root (or `developer`, the account a development build trusts) and be
// writable by no group and no other user; the file must be a regular file, reached
// without following a symbolic link. The error is one sentence for the start-failure
// line.
[[nodiscard]] Expected<UniqueFd, std::string> openTrustAnchor(std::string_view path,
                                                              std::optional<uid_t> developer);

}  // namespace tavelin
