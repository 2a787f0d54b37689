#pragma once

#include <string>
#include <string_view>

namespace tavelin {

// The one way a line reaches the log. Callers pass a complete, already composed line
// beginning with "[TavelinHelper] "; it is written literally, never as a format.
//
// Control characters (C0, DEL, C1) inside a line are written escaped as \n, \r, \t or
// \xHH, so a client-supplied path holding a line feed cannot forge a second log line.
// Every other byte is written unchanged.
class LogSink {
  public:
    virtual ~LogSink() = default;

    void log(std::string_view line);

  protected:
    // Receives one escaped line without a line terminator.
    virtual void writeLine(std::string_view escapedLine) = 0;
};

// Escapes control characters as described above. Exposed for tests.
[[nodiscard]] std::string escapeControlCharacters(std::string_view line);

// The daemon's sink: each line with one write(2) to stderr, which the service manager's
// journal collects. Safe to use from several threads; a line is never interleaved with
// another as long as it fits into one pipe write.
class StderrLogSink final : public LogSink {
  protected:
    void writeLine(std::string_view escapedLine) override;
};

}  // namespace tavelin
