#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "TavelinPlatform/core/LogSink.h"

namespace tavelin::runner {

// Whether the peer of `connection` may have the update tool run: root, and besides root
// `developer` (a development build's developer, whose daemon runs under their account).
// Logs "[TavelinUpdateRunner] abgelehnt: uid <uid> darf das Update nicht starten" for
// anyone else, and "[TavelinUpdateRunner] abgelehnt: <reason>" when the peer's credentials
// cannot be read.
[[nodiscard]] bool peerMayRun(int connection, std::optional<uid_t> developer, LogSink& log);

// One run for the peer of `connection` (UpdateRunnerProtocol.h): starts the tool at
// `toolPath` as the daemon would (runUpdateTool, with updateToolTimeout and
// updateToolDrain), sends its output as it comes, then its status, or the errno of a start
// that failed. When the peer hangs up (or sends anything) while the tool runs, the tool's
// process group is killed; its output is dropped from then on. Returns the process's exit
// status: 0 once the status was sent, 1 when the peer was gone by then.
[[nodiscard]] int runForPeer(int connection, const std::string& toolPath, LogSink& log);

}  // namespace tavelin::runner
