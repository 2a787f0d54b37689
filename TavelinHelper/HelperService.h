#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "LogSink.h"
#include "TavelinShared/PrivilegedHelperProtocol.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {

class ClientFileSystem;
class UpdateInstaller;

// The object each admitted connection talks to. Decodes one request, writes the audit
// line, runs the operation it names on the calling thread and replies exactly once.
// Holds no state between calls; the references must outlive the service. Calls on one
// instance may run on several threads at once. Update runs go through the one
// UpdateInstaller of the process, which lets one run at a time.
//
// Neither method throws. A reply that throws is not called again; the exception is
// dropped.
class HelperService final : public PrivilegedHelperProtocol {
  public:
    HelperService(LogSink& log, const ClientFileSystem& fileSystem, UpdateInstaller& updates);

    // Replies PrivilegedHelperInfo::version ("0.0.1"). Logs nothing.
    void helperVersion(const VersionReply& reply) override;

    // Replies the JSON of one PrivilegedResult: for an undecodable request success false,
    // "Ungültige Operation", 0, with nothing logged; otherwise, after logging
    // "[TavelinHelper] perform: " + the operation's audit description (a repaired path cut
    // as loggedPath does), the result of the operation it names. Replies zero bytes when the result
    // cannot be encoded, and also when an operation could not produce a result at all (out of
    // memory, no thread for the update run).
    void perform(std::string_view operationJSON, const DataReply& reply) override;

  private:
    // The reply bytes for one request; never throws.
    [[nodiscard]] std::string answerFor(std::string_view operationJSON) const noexcept;
    [[nodiscard]] PrivilegedResult resultFor(std::string_view operationJSON) const;

    [[nodiscard]] PrivilegedResult removeSystemPaths(const std::vector<std::string>& paths) const;
    [[nodiscard]] PrivilegedResult repairPermissions(const std::string& path) const;
    [[nodiscard]] PrivilegedResult installSystemUpdates() const;

    LogSink& log_;
    const ClientFileSystem& fileSystem_;
    UpdateInstaller& updates_;
};

}  // namespace tavelin
