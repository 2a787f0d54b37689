#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "TavelinPlatform/identity/IdentityError.h"

namespace tavelin {

// Writing signed executables and identity files; only the signing side does this.

// Writes all of `bytes` at `offset`, retried on EINTR and short writes.
[[nodiscard]] Status<IdentityError> writeAllAt(int fd, std::span<const std::uint8_t> bytes,
                                               std::uint64_t offset);

// Replaces `path` with `text`, created with `mode` (e.g. 0600 for private keys).
[[nodiscard]] Status<IdentityError> writeWholeFile(const std::string& path, const std::string& text,
                                                   mode_t mode);

}  // namespace tavelin
