#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "LogSink.h"
#include "TavelinShared/PrivilegedHelperProtocol.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

class ClientFileSystem;

// The object each admitted connection talks to. Decodes one request, writes the audit
// line, runs the operation it names on the calling thread and replies exactly once.
// Holds no state between calls; the references must outlive the service.
class HelperService final : public PrivilegedHelperProtocol {
public:
    static constexpr std::string_view defaultUpdateTool = "/usr/sbin/softwareupdate";

    HelperService(LogSink& log, const ClientFileSystem& fileSystem,
                  std::string updateTool = std::string(defaultUpdateTool));

    void helperVersion(const VersionReply& reply) override;
    void perform(std::string_view operationJSON, const DataReply& reply) override;

private:
    [[nodiscard]] PrivilegedResult removeSystemPaths(const std::vector<std::string>& paths) const;
    [[nodiscard]] PrivilegedResult repairPermissions(const std::string& path) const;
    [[nodiscard]] PrivilegedResult installSystemUpdates() const;

    LogSink& log_;
    const ClientFileSystem& fileSystem_;
    std::string updateTool_;
};

}  // namespace tavelin
