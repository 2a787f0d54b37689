#pragma once

#include <cstdint>
#include <string>

namespace tavelin {

// The daemon's answer to a removal, a repair or an update.
struct OperationResult {
    // Whether the operation did what was asked. A removal succeeds when it ran, even if it
    // left some paths alone: readRemovalSummary (RemovalSummary.h) tells how many.
    bool success = false;
    // A German sentence for the user (UTF-8), e.g. "2 Pfade entfernt, 1 durch Policy abgelehnt" or
    // "Nicht autorisiert" when the system's policy said no.
    std::string message;
    // The bytes a removal freed; 0 for the other operations.
    std::int64_t freedBytes = 0;
};

}  // namespace tavelin
