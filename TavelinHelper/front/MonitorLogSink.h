#pragma once

#include "TavelinHelper/front/MonitorClient.h"
#include "TavelinPlatform/core/LogSink.h"

namespace tavelin {

// The front's log of its connections when stderr is the journal. The front's lines about a
// peer are its refusals; to carry the peer's pid and uid they must go through the
// journal's native socket, which the front cannot reach from its empty root and may not
// open a socket for. So each goes to the monitor as a refusalLine, which the monitor logs
// with those fields; every other line, and one the monitor cannot take (the channel broke,
// a line beyond maxRefusalLineBytes), goes to `local` (stderr, with its priority prefix).
// Thread-safe; `local` and `monitor` must outlive it.
class MonitorLogSink final : public LogSink {
  public:
    MonitorLogSink(LogSink& local, MonitorClient& monitor) : local_(local), monitor_(monitor) {}

  protected:
    void writeEntry(LogPriority priority, std::string_view line,
                    const std::optional<LogPeer>& peer) override;
    void writeLine(std::string_view) override {}

  private:
    LogSink& local_;
    MonitorClient& monitor_;
};

}  // namespace tavelin
