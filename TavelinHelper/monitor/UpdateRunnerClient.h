#pragma once

#include <cstdint>
#include <string>

#include "TavelinHelper/common/ToolRun.h"
#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {

// Has the update runner (tavelin-update-runner, started by its own socket unit outside the
// daemon's sandbox) run the update tool: connects to the AF_UNIX SOCK_SEQPACKET socket at
// `socketPath`, hands every output message to `consume` as it arrives, and returns the
// status the runner reports, with runTool's meaning (the exit code, the ending signal's
// number, -1 when lost). Messages are read one at a time into a buffer of the longest the
// protocol knows (UpdateRunnerProtocol.h); memory stays bounded whatever the runner sends.
//
// - The runner cannot be reached: fails with the connect's error (context "connect
//   <path>"), so the answer reads "Start fehlgeschlagen: <the system's text>".
// - The runner could not start the tool: fails with the errno it reports.
// - limits.timeout after connecting, the run is still going: hangs up, which makes the
//   runner kill the tool's process group, and returns 9 (SIGKILL), as runTool answers for a
//   tool it kills. (limits.drain is the runner's business: it drains before it reports.)
// - The runner hangs up before its status, or sends a message that is empty, too long, of
//   an unknown type or the wrong size, or a status out of range: hangs up and returns -1.
//   Nothing the runner sends can end the daemon.
// - `consume` throws: hangs up (the tool is killed) and lets the exception through.
[[nodiscard]] Expected<std::int32_t, SystemError> runUpdateToolThroughRunner(
    const std::string& socketPath, const ToolRunLimits& limits, const OutputConsumer& consume);

}  // namespace tavelin
