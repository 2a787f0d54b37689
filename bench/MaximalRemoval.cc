#include "bench/MaximalRemoval.h"

#include <vector>

#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "bench/Comparison.h"

namespace tavelin::bench {

std::string maximalRemoval(const std::string& absentFolder) {
    std::vector<std::string> paths;
    for (std::size_t index = 0; index < PrivilegedOperation::maxRemovalPaths; ++index) {
        paths.push_back(absentFolder + "/" + std::string(60, 'p') + std::to_string(100000 + index));
    }
    auto encoded = PrivilegedOperation::removeSystemPaths(paths).encode();
    // Fewer paths until it fits: the excess over the limit, in paths, and one more.
    while (encoded && encoded->size() > maxPerformArgumentBytes) {
        const std::size_t perPath = encoded->size() / paths.size() + 1;
        paths.resize(paths.size() - (encoded->size() - maxPerformArgumentBytes) / perPath - 1);
        encoded = PrivilegedOperation::removeSystemPaths(paths).encode();
    }
    if (!encoded) {
        fail("cannot encode the maximal removal");
    }
    return std::move(encoded).value();
}

}  // namespace tavelin::bench
