#include "UpdateInstallation.h"

#include <vector>

#include "TavelinShared/SoftwareUpdateEvaluation.h"
#include "TavelinShared/UnicodeText.h"
#include "ToolRun.h"

namespace tavelin {

PrivilegedResult installSystemUpdates(const std::string& toolPath) {
    const std::vector<std::string> arguments(updateToolArguments.begin(),
                                             updateToolArguments.end());
    const Expected<ToolRun, SystemError> run = runCollectingOutput(toolPath, arguments);
    if (!run) {
        return PrivilegedResult(false, "Start fehlgeschlagen: " + run.error().text(), 0);
    }
    return SoftwareUpdateEvaluation::result(run->status, UnicodeText::decodeUtf8Lossy(run->output));
}

}  // namespace tavelin
