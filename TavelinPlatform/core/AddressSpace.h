#pragma once

#include <cstddef>

namespace tavelin {

// The stack each new thread of a daemon process gets: its threads run no deep recursion.
inline constexpr std::size_t daemonThreadStackSize = std::size_t{2} * 1024 * 1024;
// The most malloc arenas a daemon process keeps: each reserves 64 MiB of address space.
inline constexpr int daemonMallocArenas = 2;

// Keeps the address space a daemon process reserves in proportion to what it uses, so
// that under an address-space limit many threads at once still fit: new threads get
// daemonThreadStackSize (not the 8 MiB default) and malloc keeps at most
// daemonMallocArenas arenas. Call at start-up, before any thread starts.
void reserveModestAddressSpace() noexcept;

}  // namespace tavelin
