#include "TavelinHelper/monitor/FrontRestarts.h"

#include <algorithm>

namespace tavelin {

std::chrono::seconds FrontRestarts::delayAfter(Clock::time_point started, Clock::time_point ended) {
    if (ended - started >= healthyRun) {
        quickEnds_ = 0;
        delay_ = std::chrono::seconds(0);
    }
    if (++quickEnds_ <= maxQuickRestarts) {
        return std::chrono::seconds(0);
    }
    delay_ = delay_ == std::chrono::seconds(0) ? firstDelay : std::min(2 * delay_, maxDelay);
    return delay_;
}

}  // namespace tavelin
