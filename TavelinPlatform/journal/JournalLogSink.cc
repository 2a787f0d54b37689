#include "TavelinPlatform/journal/JournalLogSink.h"

#include <sys/uio.h>
// The entry is about the peer, not about where in our source it was written.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <array>

#include "TavelinPlatform/core/JournalStream.h"

namespace tavelin {

namespace {

// Sends one entry; false when the journal did not take it.
bool sendNatively(const std::string& identifier, LogPriority priority, const std::string& message,
                  const LogPeer& peer) {
    const std::string pid = std::to_string(peer.pid);
    std::array<std::string, 7> fields = {
        "MESSAGE=" + message,
        "PRIORITY=" + std::to_string(static_cast<int>(priority)),
        "SYSLOG_IDENTIFIER=" + identifier,
        "TAVELIN_PEER_PID=" + pid,
        "TAVELIN_PEER_UID=" + std::to_string(peer.uid),
        "OBJECT_PID=" + pid,
        "TAVELIN_REFUSAL_REASON=" + std::string(refusalReasonName(peer.refusal)),
    };
    // The reason only on a line that names one.
    const std::size_t count =
        peer.refusal == RefusalReason::none ? fields.size() - 1 : fields.size();
    std::array<iovec, fields.size()> vectors{};
    for (std::size_t index = 0; index < count; ++index) {
        vectors[index] = iovec{fields[index].data(), fields[index].size()};
    }
    return ::sd_journal_sendv(vectors.data(), static_cast<int>(count)) >= 0;
}

}  // namespace

void JournalLogSink::writeEntry(LogPriority priority, std::string_view line,
                                const std::optional<LogPeer>& peer) {
    const std::string escaped = escapeLogLine(line);
    if (peer && sendNatively(identifier_, priority, escaped, *peer)) {
        return;
    }
    writeStderrLine(priorityPrefix(priority) + escaped);
}

std::unique_ptr<LogSink> daemonLogSink(const char* journalStream, std::string identifier) {
    if (journalStream != nullptr && stderrIsJournalStream(journalStream)) {
        return std::make_unique<JournalLogSink>(std::move(identifier));
    }
    return std::make_unique<StderrLogSink>();
}

}  // namespace tavelin
