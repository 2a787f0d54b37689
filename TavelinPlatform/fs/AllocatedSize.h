#pragma once

#include <cstdint>

namespace tavelin {

// The space of the entry `name` in the folder open as `parentFd`: for anything but a
// folder its length (st_size; a symbolic link's own length, never its target's), for a
// folder the allocated size of everything below it (see walkTree). `mustBeFolder` (the
// client wrote a trailing slash) makes a non-folder count 0. Never fails: what cannot be
// read counts 0.
[[nodiscard]] std::int64_t measureEntry(int parentFd, const char* name, bool mustBeFolder);

}  // namespace tavelin
