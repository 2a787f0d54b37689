#include "ToolRun.h"

#include <unistd.h>

#include <exception>
#include <thread>
#include <utility>

#include "ChildProcess.h"
#include "LockedData.h"
#include "RetryOnInterrupt.h"

namespace tavelin {

namespace {

constexpr std::size_t chunkSize = std::size_t{64} * 1024;

// One read(2), retried on EINTR: the byte count, 0 at end of file, -1 on error.
ssize_t readChunk(int fd, std::string& buffer) {
    return retryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
}

// The collecting thread: appends each chunk as it arrives until end of file, so the tool
// never blocks on a full pipe. Its buffer is allocated by the runner, so nothing can stop
// it before end of file. If appending fails (out of memory) it keeps draining, so the
// tool can still finish, and leaves the failure to the runner to rethrow.
void collectUntilEndOfFile(int fd, LockedData& data, std::exception_ptr& failure,
                           std::string buffer) noexcept {
    for (;;) {
        const ssize_t n = readChunk(fd, buffer);
        if (n <= 0) {
            // End of file. A read error (not possible on our own blocking pipe short of a
            // bug) leaves the rest to the runner's read.
            return;
        }
        if (failure) {
            continue;
        }
        try {
            data.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        } catch (...) {
            failure = std::current_exception();
        }
    }
}

// Whatever is still unread, until end of file.
std::string readToEndOfFile(int fd) {
    std::string bytes;
    std::string buffer(chunkSize, '\0');
    for (;;) {
        const ssize_t n = readChunk(fd, buffer);
        if (n <= 0) {
            return bytes;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace

Expected<ToolRun, SystemError> runCollectingOutput(const std::string& toolPath,
                                                   const std::vector<std::string>& arguments) {
    auto spawned = spawnWithCombinedOutput(toolPath, arguments);
    if (!spawned) {
        return Unexpected(std::move(spawned).error());
    }
    // From here on `started` kills and reaps the child if anything throws.
    ChildWithOutput& started = *spawned;
    const int output = started.output.get();

    LockedData data;
    std::exception_ptr collectorFailure;
    std::thread collector(collectUntilEndOfFile, output, std::ref(data), std::ref(collectorFailure),
                          std::string(chunkSize, '\0'));
    const auto waited = started.child.wait();
    // The collector ends at end of file, which comes once the child and anything it left
    // behind holding the pipe have gone. Joining it before the final read keeps the two
    // readers apart, so every byte is appended exactly once; the final read then only
    // picks up what a read error made the collector leave behind.
    collector.join();
    if (collectorFailure) {
        std::rethrow_exception(collectorFailure);
    }
    data.append(readToEndOfFile(output));

    ToolRun run;
    run.status = waited ? waited->status() : -1;
    run.output = data.copy();
    return run;
}

}  // namespace tavelin
