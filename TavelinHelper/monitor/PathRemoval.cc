#include "TavelinHelper/monitor/PathRemoval.h"

#include <string_view>

#include "TavelinHelper/monitor/LoggedPath.h"
#include "TavelinPlatform/fs/SaturatingAdd.h"
#include "TavelinShared/PrivilegedPathPolicy.h"
#include "TavelinShared/RemovalSummaryWords.h"

namespace tavelin {

namespace {

constexpr std::string_view logPrefix = "[TavelinHelper] removed ";
constexpr std::string_view sizeOpener = " (";
constexpr std::string_view sizeCloser = " bytes)";
namespace words = RemovalSummaryWords;

struct RemovalCounts {
    std::int64_t removed = 0;
    std::int64_t refused = 0;
    std::int64_t failed = 0;
    std::int64_t freedBytes = 0;
};

std::string removalLine(const std::string& path, std::int64_t bytes) {
    std::string line(logPrefix);
    line.append(path).append(sizeOpener).append(std::to_string(bytes)).append(sizeCloser);
    return line;
}

std::string summary(const RemovalCounts& counts) {
    std::string message = std::to_string(counts.removed);
    message.append(words::removed);
    if (counts.refused > 0) {
        message.append(words::separator)
            .append(std::to_string(counts.refused))
            .append(words::refused);
    }
    if (counts.failed > 0) {
        message.append(words::separator)
            .append(std::to_string(counts.failed))
            .append(words::failed);
    }
    return message;
}

}  // namespace

PrivilegedResult removeSystemPaths(const std::vector<std::string>& paths,
                                   const ClientFileSystem& fs, LogSink& log) {
    RemovalCounts counts;
    for (const std::string& path : paths) {
        // Judged one at a time (the judgement reads the text alone), not sanitized into a
        // copy of the list: the copy held the monitor's largest request twice.
        if (!PrivilegedPathPolicy::isRemovable(path, fs.currentDirectory())) {
            ++counts.refused;
            continue;
        }
        // One walk measures each entry just before removing it; the size counts only when
        // the whole path went, exactly as a measurement followed by a removal would.
        const Expected<std::int64_t, SystemError> removed = fs.measureAndRemove(path);
        if (!removed) {
            ++counts.failed;
            continue;
        }
        ++counts.removed;
        counts.freedBytes = saturatingAdd(counts.freedBytes, *removed);
        log.log(removalLine(loggedPath(path), *removed));
    }
    return PrivilegedResult(counts.failed == 0, summary(counts), counts.freedBytes);
}

}  // namespace tavelin
