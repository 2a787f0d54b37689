#pragma once

namespace tavelin {

// Whether this process holds `capability` (a CAP_* number) in its effective set. False as
// well when the sets cannot be read.
[[nodiscard]] bool holdsCapability(int capability) noexcept;

}  // namespace tavelin
