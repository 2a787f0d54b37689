#include "TavelinHelper/common/ToolRun.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <exception>
#include <thread>
#include <utility>

#include "TavelinHelper/common/LockedData.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

namespace {

// What one read(2) asks for: the kernel's default pipe capacity, so a full pipe empties in
// one call. The consumer sees at most this much at a time.
constexpr std::size_t chunkSize = std::size_t{64} * 1024;

// One read(2), retried on EINTR: the byte count, 0 at end of file, -1 on error.
ssize_t readChunk(int fd, std::string& buffer) {
    return retryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
}

// The collecting thread: hands each chunk on as it arrives, so the tool never blocks on a
// full pipe, until end of file or until `stop` becomes readable. Its buffer is allocated by
// the runner, so nothing can stop it early: a consumer that throws only makes LockedData
// drop the bytes. A failing poll or read (not possible on our own pipe short of a bug)
// ends reading as end of file would.
void collectUntilEnd(int output, int stop, LockedData& data, std::string buffer) noexcept {
    std::array<pollfd, 2> fds{{{output, POLLIN, 0}, {stop, POLLIN, 0}}};
    for (;;) {
        const int ready = retryOnInterrupt([&] { return ::poll(fds.data(), fds.size(), -1); });
        if (ready < 0 || fds[1].revents != 0) {
            break;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        // Readable or hung up: this read does not block.
        const ssize_t n = readChunk(output, buffer);
        if (n <= 0) {
            break;
        }
        data.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    data.finish();
}

// The collecting thread, told to stop and joined on every path, so that a run left early
// by an exception never leaves it reading a descriptor that is about to close.
class Collector {
  public:
    // `output`, `stop` (an eventfd) and `data` must outlive the collector.
    Collector(int output, int stop, LockedData& data)
        : stop_(stop),
          thread_(collectUntilEnd, output, stop, std::ref(data), std::string(chunkSize, '\0')) {}
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;
    ~Collector() { stopAndJoin(); }

    // Makes the thread stop before its next read, if it has not ended already, and waits
    // for it.
    void stopAndJoin() noexcept {
        if (!thread_.joinable()) {
            return;
        }
        const std::uint64_t one = 1;
        // An eventfd write fails only when its counter would overflow, far beyond one.
        static_cast<void>(!::write(stop_, &one, sizeof one));
        thread_.join();
    }

  private:
    int stop_;
    std::thread thread_;
};

}  // namespace

Expected<std::int32_t, SystemError> runTool(const std::string& toolPath,
                                            const std::vector<std::string>& arguments,
                                            const SpawnOptions& options,
                                            const ToolRunLimits& limits,
                                            const OutputConsumer& consume) {
    // Made before the tool starts, so running out of descriptors never leaves a tool we
    // could not supervise.
    const UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop) {
        return lastSystemError("eventfd");
    }
    const auto timeUp = std::chrono::steady_clock::now() + limits.timeout;
    auto spawned = spawnWithCombinedOutput(toolPath, arguments, options);
    if (!spawned) {
        return Unexpected(std::move(spawned).error());
    }
    // From here on `started` kills and reaps the child if anything throws; `collector`,
    // made after it, is stopped and joined before that.
    ChildWithOutput& started = *spawned;
    LockedData data(consume);
    Collector collector(started.output.get(), stop.get(), data);

    const Expected<bool, SystemError> ended = started.child.awaitEnd(timeUp, limits.giveUp);
    if (!ended || !*ended) {
        // Out of time or given up. (If poll itself failed, the limit could not be kept any
        // other way.)
        started.child.kill();
    }
    const auto waited = started.child.wait();
    // End of file comes once everything holding the pipe has closed it; something the tool
    // left behind gets the drain time to finish writing, and then reading stops.
    static_cast<void>(data.awaitFinish(std::chrono::steady_clock::now() + limits.drain));
    collector.stopAndJoin();
    if (const std::exception_ptr failure = data.failure()) {
        std::rethrow_exception(failure);
    }
    return waited ? waited->status() : -1;
}

}  // namespace tavelin
