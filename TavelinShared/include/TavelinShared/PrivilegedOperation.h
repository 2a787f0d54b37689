#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "TavelinShared/DecodingError.h"
#include "TavelinShared/EncodingError.h"

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

    // The most paths one decoded removal names. decode refuses a longer list at its first
    // element too many, so what one request can make the decoder hold stays bounded
    // whatever the request's size. Operations built in code are not limited.
    static constexpr std::size_t maxRemovalPaths = 10000;

    [[nodiscard]] static PrivilegedOperation removeSystemPaths(std::vector<std::string> paths);
    [[nodiscard]] static PrivilegedOperation installSystemUpdates();
    [[nodiscard]] static PrivilegedOperation repairPermissions(std::string path);

    [[nodiscard]] const Payload& payload() const noexcept { return payload_; }

    // The compact wire document, e.g. {"repairPermissions":{"path":"\/Library\/x"}},
    // {"removeSystemPaths":{"_0":[…]}} or {"installSystemUpdates":{}}; strings are written
    // as PrivilegedResult writes its message. Fails when a path is not well-formed UTF-8
    // (possible only for an operation built in code, e.g. from a file name, never for a
    // decoded one): the error's coding path names the first such path, e.g.
    // {"removeSystemPaths", "_0", "Index 1"}. Such a path is never written in another
    // spelling, since the daemon would act on the file that spelling names.
    [[nodiscard]] Expected<std::string, EncodingError> encode() const;

    // Reads a request document. The text must be strict JSON in UTF-8 (no comments, nothing
    // but whitespace after the value; numbers of any size) and no object that decoding
    // looks at may repeat a member name: the top-level object, a recognised member's value
    // (installSystemUpdates' object included), and the values of "_0", its elements and
    // "path" where they are objects. Otherwise dataCorrupted. Values of ignored members may
    // hold any valid JSON, repeated names inside them included. Then, in this order:
    //  - the top-level value must be an object (null: valueNotFound, else typeMismatch);
    //  - exactly one of its member names must be an alternative's name (exact, case-sensitive),
    //    else typeMismatch "Invalid number of keys found, expected one." with an empty path;
    //    other members are ignored whatever their values;
    //  - that member's value must be an object (null: valueNotFound, else typeMismatch);
    //  - removeSystemPaths needs "_0" holding an array of strings, repairPermissions needs
    //    "path" holding a string (missing: keyNotFound; null or a null element:
    //    valueNotFound; another type, a number of any size included: typeMismatch); other
    //    payload members are ignored, and the members of installSystemUpdates' object are
    //    not looked at.
    // Limit: a removal list ("_0" of the removeSystemPaths member) with more than
    // maxRemovalPaths elements, of any types, is dataCorrupted with path
    // {"removeSystemPaths", "_0"}. It ends the reading at that element: only a syntax fault
    // or repeated name earlier in the text outranks it, nothing later in the text (not even
    // a syntax fault) and none of the checks above, which look at the whole document.
    // Coding paths are as DecodingError describes, e.g. {"removeSystemPaths", "_0", "Index 1"}.
    // Hostile input costs time about linear in its size and never recursion; memory for the
    // strings decoded, the member names of the objects decoding looks at, and the longest
    // token (twice), no tree of the document. When memory runs out, decoding ends with
    // dataCorrupted and an empty path, having freed what it allocated. Never throws.
    [[nodiscard]] static Expected<PrivilegedOperation, DecodingError> decode(
        std::string_view bytes);

    // The German one-line description written to the audit log before the operation runs:
    // "System-Pfade entfernen (<n> Einträge)", "Rechte reparieren: <path>" or
    // "macOS-Systemupdates installieren". The path is inserted as it is, unquoted.
    [[nodiscard]] std::string auditDescription() const;

    // Same alternative and equal payloads; strings compare by canonical equivalence.
    friend bool operator==(const PrivilegedOperation& lhs, const PrivilegedOperation& rhs);

  private:
    // Takes one alternative rather than a Payload: building the variant in place spares a
    // variant-to-variant move that GCC 12 misreads as use of uninitialised memory.
    template <typename Alternative>
    explicit PrivilegedOperation(Alternative alternative) : payload_(std::move(alternative)) {}

    Payload payload_;
};

}  // namespace tavelin
