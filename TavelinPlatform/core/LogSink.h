#pragma once

#include <string>
#include <string_view>

namespace tavelin {

// The one way a line reaches the log. Callers pass a complete, already composed line
// beginning with "[TavelinHelper] "; it is written literally, never as a format.
//
// Every line is written through escapeLogLine, so a client-supplied path can neither forge
// a second log line nor make one line read like another.
class LogSink {
  public:
    virtual ~LogSink() = default;

    void log(std::string_view line);

  protected:
    // Receives one escaped line without a line terminator.
    virtual void writeLine(std::string_view escapedLine) = 0;
};

// Escapes what could make a log line ambiguous: control characters (C0, DEL, C1) as \n,
// \r, \t or \xHH (both bytes of a C1 control); the line and paragraph separators and the
// bidirectional marks, embeddings, overrides and isolates (U+061C, U+200E, U+200F,
// U+2028..U+202E, U+2066..U+2069) as \uXXXX; and the backslash itself as \\, so that an
// escape in the output always stands for exactly one character of the input. Every other
// byte is written unchanged.
[[nodiscard]] std::string escapeLogLine(std::string_view line);

// The daemon's sink: each line with one write(2) to stderr, which the service manager's
// journal collects. Safe to use from several threads; a line is never interleaved with
// another as long as it fits into one pipe write.
class StderrLogSink final : public LogSink {
  protected:
    void writeLine(std::string_view escapedLine) override;
};

}  // namespace tavelin
