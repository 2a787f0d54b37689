#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "TavelinPlatform/core/RefusalReason.h"

namespace tavelin {

// A line's syslog priority (docs/logging.md): failures and refusals, the audit trail of
// what peers asked for and what was done, everything else.
enum class LogPriority { error = 3, notice = 5, info = 6 };

// The process a line is about: the connected peer, as the daemon read it from the kernel.
struct LogPeer {
    pid_t pid = 0;
    uid_t uid = 0;
    RefusalReason refusal = RefusalReason::none;  // for a line about refusing the peer
    friend bool operator==(const LogPeer&, const LogPeer&) = default;
};

// The one way a line reaches the log. Callers pass a complete, already composed line
// beginning with "[TavelinHelper] "; it is written literally, never as a format.
//
// Every line is written through escapeLogLine, so a client-supplied path can neither forge
// a second log line nor make one line read like another.
class LogSink {
  public:
    virtual ~LogSink() = default;

    // An informational line about no peer.
    void log(std::string_view line) { log(LogPriority::info, line); }
    // A line of `priority`, about `peer` when given; a sink that can record the peer
    // beside the text does (the text itself stays the same).
    void log(LogPriority priority, std::string_view line,
             const std::optional<LogPeer>& peer = std::nullopt);

  protected:
    // Receives every line as its caller gave it, unescaped. The default escapes it and
    // hands it to writeLine; a sink that needs the priority or the peer overrides this.
    virtual void writeEntry(LogPriority priority, std::string_view line,
                            const std::optional<LogPeer>& peer);
    // Receives one escaped line without a line terminator (through the default writeEntry
    // only: a sink overriding writeEntry may leave this empty).
    virtual void writeLine(std::string_view escapedLine) = 0;

    // For sinks that pass lines on to another sink.
    static void forward(LogSink& target, LogPriority priority, std::string_view line,
                        const std::optional<LogPeer>& peer) {
        target.writeEntry(priority, line, peer);
    }
};

// Writes every line to `target` at one priority and about one peer, whatever its caller
// says: for code that logs only about one peer (an admission, an operation) and need not
// know of priorities. `target` must outlive it.
class PeerLogSink final : public LogSink {
  public:
    PeerLogSink(LogSink& target, LogPriority priority, LogPeer peer)
        : target_(target), priority_(priority), peer_(peer) {}

  protected:
    void writeEntry(LogPriority, std::string_view line, const std::optional<LogPeer>&) override {
        forward(target_, priority_, line, peer_);
    }
    void writeLine(std::string_view) override {}

  private:
    LogSink& target_;
    LogPriority priority_;
    LogPeer peer_;
};

// Escapes what could make a log line ambiguous: control characters (C0, DEL, C1) as \n,
// \r, \t or \xHH (both bytes of a C1 control); the line and paragraph separators and the
// bidirectional marks, embeddings, overrides and isolates (U+061C, U+200E, U+200F,
// U+2028..U+202E, U+2066..U+2069) as \uXXXX; and the backslash itself as \\, so that an
// escape in the output always stands for exactly one character of the input. Every other
// byte is written unchanged.
[[nodiscard]] std::string escapeLogLine(std::string_view line);

// Writes `text` and a line feed to stderr with as few write(2) calls as it takes (one, for
// a line that fits into a pipe write); gives up silently when stderr fails.
void writeStderrLine(std::string_view text);

// The "<N>" a journal stream reads as the line's priority.
[[nodiscard]] std::string priorityPrefix(LogPriority priority);

// Each line with one write(2) to stderr, which the service manager's journal collects.
// With `priorityPrefixes` (stderr is a journal stream) each line begins with its priority
// as "<N>", which the journal takes off again; without, lines are written as they are.
// Records no peer. Safe to use from several threads; a line is never interleaved with
// another as long as it fits into one pipe write.
class StderrLogSink final : public LogSink {
  public:
    explicit StderrLogSink(bool priorityPrefixes = false) : priorityPrefixes_(priorityPrefixes) {}

  protected:
    void writeEntry(LogPriority priority, std::string_view line,
                    const std::optional<LogPeer>& peer) override;
    void writeLine(std::string_view) override {}

  private:
    bool priorityPrefixes_;
};

}  // namespace tavelin
