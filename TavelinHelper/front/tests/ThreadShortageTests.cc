// Work that cannot get a thread: each case runs in a forked child that has become nobody
// under a task limit its own main thread already reaches, so the kernel refuses every
// further thread. The work must then be refused, never the process aborted. The pool as the
// monitor runs its operations on it is held to the same here.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "TavelinHelper/common/WorkPool.h"
#include "TavelinHelper/front/tests/FrontTestSupport.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"

namespace tavelin {
namespace {

constexpr uid_t nobody = 65534;

// From here on this process is nobody, and no new thread of it can start: RLIMIT_NPROC
// counts every task of the account, and this one alone reaches a limit of 1.
bool becomeNobodyWithoutNewThreads() {
    const rlimit one{1, 1};
    return ::setrlimit(RLIMIT_NPROC, &one) == 0 && ::setgroups(0, nullptr) == 0 &&
           ::setresgid(nobody, nobody, nobody) == 0 && ::setresuid(nobody, nobody, nobody) == 0;
}

// What `work` reported in a forked child; a throw is reported too, not left to the child.
std::string inChild(const std::function<std::string()>& work) {
    return testing::runInChild([&]() -> std::string {
               try {
                   return work();
               } catch (const std::exception& failure) {
                   return std::string("threw: ") + failure.what();
               }
           })
        .value_or("the child ended without a report");
}

std::string poolWithoutAnyThread() {
    if (!becomeNobodyWithoutNewThreads()) {
        return "cannot become nobody";
    }
    bool ran = false;
    bool submitted = false;
    {
        WorkPool pool(front::workPool);
        submitted = pool.submit([&] { ran = true; }) == WorkPool::Submitted::queued;
    }
    return std::string(submitted ? "queued" : "refused") + (ran ? ", ran" : ", not run");
}

std::string poolWithOneThreadStartedBefore() {
    std::atomic<int> ran{0};
    bool submitted = false;
    // Declared before the pool: its destructor runs the jobs still queued, which use them.
    std::promise<void> started;
    std::promise<void> release;
    const std::shared_future<void> go = release.get_future().share();
    {
        WorkPool pool(front::workPool);
        const auto submit = [&pool](std::function<void()> job) {
            return pool.submit(std::move(job)) == WorkPool::Submitted::queued;
        };
        submitted = submit([&] { started.set_value(); });
        started.get_future().wait();
        if (!becomeNobodyWithoutNewThreads()) {
            return "cannot become nobody";
        }
        // The next job holds the one thread, so the one after it must ask for another.
        submitted = submitted && submit([&] {
                        go.wait();
                        ++ran;
                    });
        submitted = submitted && submit([&] { ++ran; });
        release.set_value();
    }
    return std::string(submitted ? "queued" : "refused") + ", ran " + std::to_string(ran.load());
}

std::string outcome(WorkPool::Submitted submitted) {
    switch (submitted) {
        case WorkPool::Submitted::queued:
            return "started";
        case WorkPool::Submitted::full:
            return "refused as busy";
        case WorkPool::Submitted::noThread:
            return "refused";  // Monitor.cc answers that one request with no result
    }
    return "unknown";
}

// The monitor's limits: a thread per job; none kept idle, so each ends after its job.
constexpr WorkPool::Limits operationLimits{4, 0, 4};

std::string operationThreadsAfterOneEnded() {
    WorkPool threads(operationLimits);
    std::promise<pid_t> done;
    if (threads.submit([&] { done.set_value(::gettid()); }) != WorkPool::Submitted::queued) {
        return "first job refused";
    }
    // Its own task, not a count: a sanitizer's runtime may keep threads of its own.
    const std::string task = "/proc/self/task/" + std::to_string(done.get_future().get());
    while (std::filesystem::exists(task)) {
        std::this_thread::yield();  // until the thread has ended, waiting to be joined
    }
    if (!becomeNobodyWithoutNewThreads()) {
        return "cannot become nobody";
    }
    return outcome(threads.submit([] {}));
}

// An operation never waits for another's thread, however long that one runs.
std::string operationThreadsWhileOneRuns() {
    std::promise<void> started;
    std::promise<void> release;
    const std::shared_future<void> go = release.get_future().share();
    WorkPool threads(operationLimits);
    const auto first = threads.submit([&] {
        started.set_value();
        go.wait();
    });
    if (first != WorkPool::Submitted::queued) {
        return "first job refused";
    }
    started.get_future().wait();
    std::string second =
        becomeNobodyWithoutNewThreads() ? outcome(threads.submit([] {})) : "cannot become nobody";
    release.set_value();
    return second;
}

// A front on this thread whose pool can start no thread; a client forked before stands in
// for the monitor too (it accepts what the front asks for), so the front's loop ends once
// the client has its answer and its end of the channel closes.
std::string frontWithoutThreads() {
    const std::string name = testing::uniqueServiceName();
    auto listening = listenOnAbstractName(name);
    auto channel = channel::makeChannelPair();
    if (!listening || !channel) {
        return "no socket";
    }
    const pid_t client = ::fork();
    if (client == 0) {
        channel->frontEnd.reset();
        // Never destroyed: _exit below ends its thread with the process.
        const testing::AcceptingMonitor standIn(std::move(channel->monitorEnd), listening->get());
        const UniqueFd fd = testing::connectTo(name);
        // Only a front that never answers meets this.
        const timeval patience{60, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        FrameReader reader;
        ::_exit(fd && testing::closesWithoutData(fd.get(), reader) ? 0 : 1);
    }
    channel->monitorEnd.reset();
    if (!becomeNobodyWithoutNewThreads()) {
        return "cannot become nobody";
    }
    MonitorClient monitor(std::move(channel->frontEnd));
    testing::ServiceProbe probe;
    testing::TestDelegate delegate(probe);
    FrontServer server(std::move(listening).value(), monitor, delegate);
    static_cast<void>(server.run());
    int status = -1;
    ::waitpid(client, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "refused" : "left waiting";
}

TEST(FrontThreadShortageTest, WorkThatCannotGetAThreadIsRefusedAndNothingAborts) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to become nobody";
    }
    const struct {
        const char* name;
        std::function<std::string()> work;
        const char* expected;
    } cases[] = {
        {"a pool that can start no thread", poolWithoutAnyThread, "refused, not run"},
        {"a pool with one thread running", poolWithOneThreadStartedBefore, "queued, ran 2"},
        {"the monitor's threads, one ended", operationThreadsAfterOneEnded, "refused"},
        {"the monitor's threads, one running", operationThreadsWhileOneRuns, "refused"},
        {"a front whose pool can start no thread", frontWithoutThreads, "refused"},
    };
    for (const auto& [name, work, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(inChild(work), expected);
    }
}

}  // namespace
}  // namespace tavelin
