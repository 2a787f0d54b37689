#include "tools/tavelinctl/ResultReport.h"

#include <optional>

#include "TavelinClient/RemovalSummary.h"
#include "tools/tavelinctl/ByteCountText.h"

namespace tavelin::tavelinctl {

Report reportFor(const Command& command, const PrivilegedResult& result) {
    if (!result.success() && result.message() == notAuthorizedMessage) {
        return {exitOperationFailed,
                "tavelinctl: not authorised: the system's policy (polkit) does not let this "
                "user have that done; nothing was changed (" +
                    result.message() + ")\n"};
    }
    bool complete = result.success();
    std::string line = result.message();
    if (command.kind == Command::Kind::remove) {
        line += " (" + humanByteCount(result.freedBytes()) + " freigegeben)";
        // Anything but a summary counting every path, and nothing else, is not a complete
        // removal.
        const std::optional<RemovalSummary> summary = readRemovalSummary(result.message());
        complete = complete && summary && summary->complete(command.arguments.size());
    }
    return {complete ? exitSuccess : exitOperationFailed, line + "\n"};
}

}  // namespace tavelin::tavelinctl
