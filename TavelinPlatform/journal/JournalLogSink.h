#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "TavelinPlatform/core/LogSink.h"

namespace tavelin {

// The daemon's sink when stderr is the journal (stderrIsJournalStream): every line keeps
// its text, escaped as every sink escapes it, and gains its priority. A line about a peer
// goes through the journal's native protocol (sd_journal_sendv) with these fields, and
// not to stderr as well:
//   MESSAGE            the escaped line
//   PRIORITY           its LogPriority (3, 5 or 6)
//   SYSLOG_IDENTIFIER  `identifier`
//   TAVELIN_PEER_PID   the peer's pid, in decimal
//   TAVELIN_PEER_UID   the peer's uid, in decimal
//   OBJECT_PID         the peer's pid again, under the name the journal itself reads as
//                      "the process this entry is about"
//   TAVELIN_REFUSAL_REASON  why admission refused the peer (refusalReasonName), on a
//                      line about a refusal only
// Every other line, and a line whose native send failed, goes to stderr behind its "<N>"
// priority prefix (libsystemd drops a line silently when the journal's socket is missing
// altogether). Safe to use from several threads.
class JournalLogSink final : public LogSink {
  public:
    explicit JournalLogSink(std::string identifier) : identifier_(std::move(identifier)) {}

  protected:
    void writeEntry(LogPriority priority, std::string_view line,
                    const std::optional<LogPeer>& peer) override;
    void writeLine(std::string_view) override {}

  private:
    std::string identifier_;
};

// The daemon's sink: a JournalLogSink when `journalStream` (the value of JOURNAL_STREAM, or
// null) names our stderr (stderrIsJournalStream), else a StderrLogSink writing plain lines.
[[nodiscard]] std::unique_ptr<LogSink> daemonLogSink(const char* journalStream,
                                                     std::string identifier);

}  // namespace tavelin
