#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "Outcome.h"
#include "UniqueFd.h"

namespace tavelin {

// Positioned reads and writes of whole ranges, retried on EINTR and short transfers.
// A read that meets the end of the file before `buffer` is full fails ("unexpected end").
[[nodiscard]] Outcome<Done> readExactlyAt(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset);
[[nodiscard]] Outcome<Done> writeAllAt(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset);

// The size of the open file, which must be a regular file.
[[nodiscard]] Outcome<std::uint64_t> regularFileSize(int fd);

// Opens `path` (O_CLOEXEC, never following a final symbolic link) with `flags`.
[[nodiscard]] Outcome<UniqueFd> openFile(const std::string& path, int flags);

// Reads a whole small file (at most `limit` bytes; larger files fail).
[[nodiscard]] Outcome<std::string> readSmallFile(const std::string& path, std::size_t limit);

// Replaces `path` with `text`, created with `mode` (e.g. 0600 for private keys).
[[nodiscard]] Outcome<Done> writeWholeFile(const std::string& path, const std::string& text,
                                           mode_t mode);

}  // namespace tavelin
