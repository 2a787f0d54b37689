#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TavelinShared/DecodingError.h"

namespace tavelin {

// One privileged task and its data: the request a client sends. Immutable value.
class PrivilegedOperation {
public:
    struct RemoveSystemPaths {
        std::vector<std::string> paths;  // order matters; duplicates allowed
    };
    struct InstallSystemUpdates {};
    struct RepairPermissions {
        std::string path;
    };
    using Payload = std::variant<RemoveSystemPaths, InstallSystemUpdates, RepairPermissions>;

    [[nodiscard]] static PrivilegedOperation removeSystemPaths(std::vector<std::string> paths);
    [[nodiscard]] static PrivilegedOperation installSystemUpdates();
    [[nodiscard]] static PrivilegedOperation repairPermissions(std::string path);

    [[nodiscard]] const Payload& payload() const noexcept { return payload_; }

    // The compact wire document, e.g. {"repairPermissions":{"path":"\/Library\/x"}}.
    [[nodiscard]] std::string encode() const;

    // Strict UTF-8 JSON, nothing after the value, no repeated member names at any level.
    // Unknown members are ignored. Never throws.
    [[nodiscard]] static Decoded<PrivilegedOperation> decode(std::string_view bytes);

    // The German one-line description written to the audit log before the operation runs.
    [[nodiscard]] std::string auditDescription() const;

    // Same alternative and equal payloads; strings compare by canonical equivalence.
    friend bool operator==(const PrivilegedOperation& lhs, const PrivilegedOperation& rhs);

private:
    explicit PrivilegedOperation(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

}  // namespace tavelin
