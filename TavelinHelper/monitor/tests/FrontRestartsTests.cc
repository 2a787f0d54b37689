// When the monitor starts the next front: at once after a few quick ends, then after a
// wait that doubles up to its cap, and at once again after a front that ran well.
#include <gtest/gtest.h>

#include <chrono>

#include "TavelinHelper/monitor/FrontRestarts.h"

namespace tavelin {
namespace {

using std::chrono::seconds;

TEST(FrontRestartsTest, QuickEndsWaitDoublingToTheCapUntilAFrontRunsWell) {
    constexpr int healthy = static_cast<int>(FrontRestarts::healthyRun.count());
    // How long each front ran, and the wait expected before the next, in seconds.
    const struct {
        int ran;
        int delay;
    } ends[] = {
        // Five quick ends (a run just short of healthy is still quick) restart at once;
        {0, 0},
        {0, 0},
        {0, 0},
        {0, 0},
        {healthy - 1, 0},
        // then each waits twice as long as the last, up to the cap.
        {0, 1},
        {0, 2},
        {0, 4},
        {0, 8},
        {0, 16},
        {0, 32},
        {0, 60},
        {0, 60},
        // A healthy run: its end and the four after it restart at once again.
        {healthy, 0},
        {0, 0},
        {0, 0},
        {0, 0},
        {0, 0},
        {0, 1},
    };
    FrontRestarts restarts;
    FrontRestarts::Clock::time_point now{};
    for (std::size_t index = 0; index < std::size(ends); ++index) {
        SCOPED_TRACE("end " + std::to_string(index + 1));
        const auto started = now;
        now += seconds(ends[index].ran);
        const seconds delay = restarts.delayAfter(started, now);
        EXPECT_EQ(delay, seconds(ends[index].delay));
        now += delay;
    }
}

}  // namespace
}  // namespace tavelin
