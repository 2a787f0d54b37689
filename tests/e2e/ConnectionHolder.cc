// tavelin_connection_holder NAME MODE COUNT FOLDER [--as-nobody]: a signed client that opens
// COUNT admitted connections to the daemon under NAME and holds them until it is killed,
// as a hostile local user would:
//   idle     connections that stay silent after the HELLO
//   half     each sends the first half of a maximal perform frame, as much of it as the
//            socket takes without waiting, and no more
//   maximal  each sends one complete perform frame with the longest request allowed (a
//            removal of nonexistent paths below FOLDER, a path of the test's) and never
//            reads the answer
//   awaited  as maximal, but each then waits for its answer or for the connection to close
// It prints "ready COUNT" once every connection is set up (or "failed ..."); after
// awaited, "answered A closed C". With --as-nobody it becomes uid/gid 65534 first.
#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/ipc/tests/FrameReading.h"
#include "TavelinShared/PrivilegedOperation.h"

namespace {

using namespace tavelin;

// Just below the perform argument limit: paths that do not exist, below `folder`.
std::string maximalRequest(const std::string& folder) {
    // Each path is written with its four slashes escaped: 110 bytes and its separators.
    std::vector<std::string> paths;
    for (std::size_t index = 0; index < PrivilegedOperation::maxRemovalPaths; ++index) {
        paths.push_back(folder + "/" + std::string(60, 'p') + std::to_string(100000 + index));
    }
    std::string request = PrivilegedOperation::removeSystemPaths(paths).encode().value();
    const std::size_t perPath = request.size() / paths.size() + 1;
    while (request.size() > maxPerformArgumentBytes) {
        const std::size_t excess = request.size() - maxPerformArgumentBytes;
        paths.resize(paths.size() - excess / perPath - 1);
        request = PrivilegedOperation::removeSystemPaths(paths).encode().value();
    }
    return request;
}

// A connection that the daemon admitted (it sent its HELLO); invalid when it did not.
UniqueFd admittedConnection(const std::string& name) {
    auto connected = connectToAbstractName(name);
    if (!connected) {
        return UniqueFd();
    }
    FrameReader reader;
    if (!tavelin::testing::readFrame(connected->get(), reader)) {
        return UniqueFd();
    }
    return std::move(connected).value();
}

// True when a whole reply frame arrived; false when the connection closed first.
bool awaitAnswer(int fd) {
    FrameReader reader;
    return tavelin::testing::readFrame(fd, reader).has_value();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: %s NAME idle|half|maximal|awaited COUNT FOLDER [--as-nobody]\n",
                     argv[0]);
        return 64;
    }
    const std::string name = argv[1];
    const std::string mode = argv[2];
    const int count = std::stoi(argv[3]);
    if (argc > 5 && std::string(argv[5]) == "--as-nobody" &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
         ::setresuid(65534, 65534, 65534) != 0)) {
        std::printf("failed to become nobody\n");
        return 1;
    }
    const std::string perform =
        *encodeCall(CallFrame{1, CallSelector::perform, maximalRequest(argv[4])});
    std::vector<UniqueFd> connections(static_cast<std::size_t>(count));
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::atomic<int> answered{0};
    std::atomic<int> closed{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 8; ++thread) {
        threads.emplace_back([&] {
            for (int index = next++; index < count; index = next++) {
                UniqueFd connection = admittedConnection(name);
                if (!connection) {
                    ++failures;
                    continue;
                }
                if (mode == "half") {
                    static_cast<void>(::send(connection.get(), perform.data(), perform.size() / 2,
                                             MSG_DONTWAIT | MSG_NOSIGNAL));
                } else if (mode != "idle") {
                    static_cast<void>(sendAll(connection.get(), perform));
                }
                if (mode == "awaited") {
                    (awaitAnswer(connection.get()) ? answered : closed)++;
                }
                connections[static_cast<std::size_t>(index)] = std::move(connection);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (mode == "awaited") {
        std::printf("answered %d closed %d failed %d\n", answered.load(), closed.load(),
                    failures.load());
    } else {
        std::printf(failures == 0 ? "ready %d\n" : "failed %d\n",
                    failures == 0 ? count : failures.load());
    }
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
