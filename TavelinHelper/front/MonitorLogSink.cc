#include "TavelinHelper/front/MonitorLogSink.h"

#include <string>

#include "TavelinPlatform/channel/ChannelMessages.h"

namespace tavelin {

void MonitorLogSink::writeEntry(LogPriority priority, std::string_view line,
                                const std::optional<LogPeer>& peer) {
    // The monitor would take a longer line as a broken front and restart us.
    if (peer && priority == LogPriority::error && line.size() <= channel::maxRefusalLineBytes &&
        monitor_.notify(channel::RefusalLine{peer->pid, static_cast<std::uint32_t>(peer->uid),
                                             peer->refusal, std::string(line)})) {
        return;
    }
    forward(local_, priority, line, peer);
}

}  // namespace tavelin
