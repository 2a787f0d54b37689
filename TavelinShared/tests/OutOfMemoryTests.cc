// Decoding the largest requests from several threads while the address space runs out: each
// decode must come back with a value or an error, and the process must live on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/internal/Overloaded.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVELIN_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVELIN_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace tavelin {
namespace {

// The transport's largest request argument.
constexpr std::size_t requestBytes = std::size_t{1024} * 1024;
constexpr std::size_t mebibyte = std::size_t{1024} * 1024;
constexpr int threadCount = 4;
constexpr int rounds = 4;

struct Input {
    std::string bytes;
    bool isResult;             // a result document; otherwise a request
    std::size_t decodedBytes;  // what its strings hold, decoded
};

// What a child counts, sent to the parent through a pipe.
struct Tally {
    int decoded = 0;
    int outOfMemory = 0;
};

// Out of memory shows as dataCorrupted with an empty path: the documents themselves are
// fine. Any other outcome ends the child with status 2.
bool outOfMemory(const DecodingError& error) {
    if (error.kind != DecodingErrorKind::dataCorrupted || !error.codingPath.empty()) {
        _exit(2);
    }
    return true;
}

std::size_t stringBytes(const PrivilegedOperation& operation) {
    using Op = PrivilegedOperation;
    return std::visit(
        Overloaded{[](const Op::RemoveSystemPaths& removal) {
                       std::size_t bytes = 0;
                       for (const auto& path : removal.paths) {
                           bytes += path.size();
                       }
                       return bytes;
                   },
                   [](const Op::RepairPermissions& repair) { return repair.path.size(); },
                   [](const Op::InstallSystemUpdates&) { return std::size_t{0}; }},
        operation.payload());
}

// Decodes `input`: true when that gave the right value, false when memory ran out.
bool decodes(const Input& input) {
    std::size_t bytes = 0;
    if (input.isResult) {
        const auto decoded = PrivilegedResult::decode(input.bytes);
        if (!decoded) {
            return !outOfMemory(decoded.error());
        }
        bytes = decoded->message().size();
    } else {
        const auto decoded = PrivilegedOperation::decode(input.bytes);
        if (!decoded) {
            return !outOfMemory(decoded.error());
        }
        bytes = stringBytes(*decoded);
    }
    if (bytes != input.decodedBytes) {
        _exit(2);
    }
    return true;
}

std::size_t addressSpaceBytes() {
    std::array<char, 64> text{};
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    const ssize_t length = fd < 0 ? -1 : read(fd, text.data(), text.size() - 1);
    if (fd >= 0) {
        close(fd);
    }
    if (length <= 0) {
        _exit(3);
    }
    return std::strtoull(text.data(), nullptr, 10) * static_cast<std::size_t>(getpagesize());
}

// In a forked child: warms every thread up with one decode of each input, then limits the
// address space to what is mapped plus `margin` and lets all threads decode every input
// `rounds` times.
[[noreturn]] void decodeUnderLimit(const std::vector<Input>& inputs, std::size_t margin,
                                   int tallyFd) {
    // One arena, fixed mmap and trim thresholds, and the free memory the parent kept given
    // back: every large block then asks the kernel for address space of its own and freed
    // memory goes back, so the limit bites where the decoders allocate, not inside an arena
    // reserved or a heap grown earlier (glibc raises both thresholds after large frees, up
    // to keeping 64 MiB).
    constexpr int mmapThreshold = 64 * 1024;
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, mmapThreshold);
    mallopt(M_TRIM_THRESHOLD, mmapThreshold);
    malloc_trim(0);
    std::atomic<int> decoded = 0;
    std::atomic<int> outOfMemory = 0;
    std::latch warm(threadCount + 1);
    std::latch limited(1);
    std::vector<std::thread> threads;
    for (int index = 0; index < threadCount; ++index) {
        threads.emplace_back([&] {
            for (const Input& input : inputs) {
                (void)decodes(input);
            }
            warm.count_down();
            limited.wait();
            for (int round = 0; round < rounds; ++round) {
                for (const Input& input : inputs) {
                    ++(decodes(input) ? decoded : outOfMemory);
                }
            }
        });
    }
    warm.arrive_and_wait();
    const rlimit limit{addressSpaceBytes() + margin, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        _exit(4);
    }
    limited.count_down();
    for (auto& thread : threads) {
        thread.join();
    }
    const Tally tally{decoded.load(), outOfMemory.load()};
    _exit(write(tallyFd, &tally, sizeof tally) == sizeof tally ? 0 : 5);
}

std::string quoted(std::size_t length) {
    return '"' + std::string(length, 'a') + '"';
}

TEST(OutOfMemoryTests, DecodersAnswerEveryCallWhileMemoryRunsOutInSeveralThreads) {
#ifdef TAVELIN_SANITIZED_ALLOCATOR
    GTEST_SKIP() << "AddressSanitizer and ThreadSanitizer reserve terabytes of address space "
                    "and report an allocation that fails as an error instead of throwing "
                    "std::bad_alloc, so decoding cannot run under an address-space limit here";
#endif
    // The largest requests the transport lets in: paths of 100 bytes up to the most one
    // removal may name, and one path as long as a request may be.
    constexpr std::size_t pathBytes = 100;
    std::string manyPaths = R"({"removeSystemPaths":{"_0":[)";
    for (std::size_t index = 0; index < PrivilegedOperation::maxRemovalPaths; ++index) {
        manyPaths += (index == 0 ? "" : ",") + quoted(pathBytes);
    }
    manyPaths += "]}}";
    const std::string onePath =
        R"({"repairPermissions":{"path":)" + quoted(requestBytes - 40) + "}}";
    const std::string result =
        R"({"success":true,"message":)" + quoted(requestBytes - 50) + R"(,"freedBytes":1})";
    ASSERT_LE(manyPaths.size(), requestBytes);
    const std::vector<Input> inputs = {
        {manyPaths, false, PrivilegedOperation::maxRemovalPaths * pathBytes},
        {onePath, false, requestBytes - 40},
        {result, true, requestBytes - 50}};

    Tally total;
    for (std::size_t margin :
         {1 * mebibyte, 2 * mebibyte, 4 * mebibyte, 8 * mebibyte, 16 * mebibyte}) {
        std::array<int, 2> pipeFds{};
        ASSERT_EQ(pipe2(pipeFds.data(), O_CLOEXEC), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFds[0]);
            decodeUnderLimit(inputs, margin, pipeFds[1]);
        }
        close(pipeFds[1]);
        Tally tally;
        const ssize_t got = read(pipeFds[0], &tally, sizeof tally);
        close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_FALSE(WIFSIGNALED(status))
            << "margin " << margin / mebibyte << " MiB: killed by signal " << WTERMSIG(status);
        ASSERT_EQ(WEXITSTATUS(status), 0) << "margin " << margin / mebibyte << " MiB";
        ASSERT_EQ(got, static_cast<ssize_t>(sizeof tally));
        EXPECT_EQ(tally.decoded + tally.outOfMemory,
                  threadCount * rounds * static_cast<int>(inputs.size()));
        total.decoded += tally.decoded;
        total.outOfMemory += tally.outOfMemory;
    }
    // The limits ran out part-way through decoding: some decodes finished, others ran out.
    EXPECT_GT(total.outOfMemory, 0);
    EXPECT_GT(total.decoded, 0);
}

}  // namespace
}  // namespace tavelin
