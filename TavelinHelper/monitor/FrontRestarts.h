#pragma once

#include <chrono>
#include <cstddef>

namespace tavelin {

// When the monitor starts the next front after one ended. A front that ended soon after its
// start is restarted at once a few times; beyond that each restart waits, twice as long as
// the one before, up to a cap, so that a fault met at every start (a crash, a resource the
// system will not give) neither spins nor ends the service: it keeps its socket and comes
// back once the fault is gone. A front that ran well for a while starts the count afresh.
class FrontRestarts {
  public:
    using Clock = std::chrono::steady_clock;

    // Fronts that ended within `healthyRun` of their start, restarted at once in a row.
    static constexpr std::size_t maxQuickRestarts = 5;
    // The wait before the first restart beyond those, doubled for each further one.
    static constexpr std::chrono::seconds firstDelay{1};
    static constexpr std::chrono::seconds maxDelay{60};
    // A front that ran this long was healthy: the next end is met as the first.
    static constexpr std::chrono::seconds healthyRun{60};

    // For a front started at `started` that ended (or could not start) at `ended`: how
    // long to wait before starting the next; zero for at once.
    [[nodiscard]] std::chrono::seconds delayAfter(Clock::time_point started,
                                                  Clock::time_point ended);

  private:
    std::size_t quickEnds_ = 0;
    std::chrono::seconds delay_{0};
};

}  // namespace tavelin
