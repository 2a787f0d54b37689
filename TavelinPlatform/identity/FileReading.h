#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/identity/IdentityError.h"

namespace tavelin {

// Reading the files identity checks look at: executables, their signature blocks and PEM
// files. Failures of system calls keep their errno (IdentityError::errorNumber).

// Reads exactly buffer.size() bytes at `offset`, retried on EINTR and short reads. Meeting
// the end of the file before the buffer is full fails ("unexpected end of file").
[[nodiscard]] Status<IdentityError> readExactlyAt(int fd, std::span<std::uint8_t> buffer,
                                                  std::uint64_t offset);

// The size of the open file, which must be a regular file.
[[nodiscard]] Expected<std::uint64_t, IdentityError> regularFileSize(int fd);

// Opens `path` (O_CLOEXEC, never following a final symbolic link) with `flags`; files it
// creates get mode 0600.
[[nodiscard]] Expected<UniqueFd, IdentityError> openFile(const std::string& path, int flags);

// Reads a whole small file (at most `limit` bytes; larger files fail).
[[nodiscard]] Expected<std::string, IdentityError> readSmallFile(const std::string& path,
                                                                 std::size_t limit);

}  // namespace tavelin
