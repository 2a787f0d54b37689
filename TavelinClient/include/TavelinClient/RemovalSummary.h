#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tavelin {

// What a removal did, as its result's message says it:
//   "<removed> Pfade entfernt[, <refused> durch Policy abgelehnt][, <failed> fehlgeschlagen]"
// A removal can succeed and still have left paths alone (the policy refused them, or they
// could not be removed): these counts tell a partial removal from a complete one.
struct RemovalSummary {
    std::int64_t removed = 0;
    std::int64_t refused = 0;  // outside the folders the daemon may act in
    std::int64_t failed = 0;   // allowed, but not (or not wholly) removed

    // Every one of the `requested` paths removed, nothing refused or failed.
    [[nodiscard]] bool complete(std::size_t requested) const noexcept {
        return refused == 0 && failed == 0 && removed >= 0 &&
               static_cast<std::uint64_t>(removed) == requested;
    }
};

// The counts of a removal's result message (PrivilegedResult::message()); nothing when
// `message` is no such summary (the result of another operation, an error text).
[[nodiscard]] std::optional<RemovalSummary> readRemovalSummary(std::string_view message) noexcept;

}  // namespace tavelin
