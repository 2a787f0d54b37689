#include "TavelinHelper/common/UpdateTool.h"

#include <sys/stat.h>

#include <vector>

#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin {

void applyUpdateToolUmask() noexcept {
    ::umask(updateToolUmask);
}

Expected<std::int32_t, SystemError> runUpdateTool(const std::string& toolPath,
                                                  const ToolRunLimits& limits,
                                                  const OutputConsumer& consume) {
    const std::vector<std::string> arguments(updateToolArguments.begin(),
                                             updateToolArguments.end());
    // Built whole: assigning the directory afterwards draws a false -Wrestrict from GCC 12.
    const SpawnOptions options{.environment = std::vector<std::string>(
                                   updateToolEnvironment.begin(), updateToolEnvironment.end()),
                               .workingDirectory = std::string(updateToolWorkingDirectory),
                               .standardInputFromNull = true,
                               .ownProcessGroup = true};
    return runTool(toolPath, arguments, options, limits, consume);
}

}  // namespace tavelin
