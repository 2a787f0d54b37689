#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tavelin {

// The interface a client calls on an admitted connection. Every answer travels through the
// reply callable, which is called exactly once per call.
class PrivilegedHelperProtocol {
  public:
    static constexpr std::string_view helperVersionSelector = "helperVersionWithReply:";
    static constexpr std::string_view performSelector = "performWithOperationJSON:reply:";

    using VersionReply = std::function<void(const std::string& version)>;
    // The JSON bytes of one PrivilegedResult, or empty when encoding failed.
    using DataReply = std::function<void(const std::string& resultJSON)>;

    virtual ~PrivilegedHelperProtocol() = default;

    virtual void helperVersion(const VersionReply& reply) = 0;
    virtual void perform(std::string_view operationJSON, const DataReply& reply) = 0;
};

}  // namespace tavelin
