// remove_bench: what measuring and removing a tree costs, against the standard tools.
//
// Builds identical fresh trees of 100,000 files in 1,000 folders (lengths 0 to 4 KiB)
// below <scratch>/Library/Caches/, then times removeSystemPaths on one against
// `du -sB1 TREE` followed by `rm -rf TREE` (child processes) on another, alternating which
// goes first, and prints the ratio of the medians. The removal shares its walk with the
// process's removal helpers, as in the daemon (up to maxRemovalThreads threads, one per
// core). Targets: at most 0.5x on tmpfs and 0.6x on ext4 for 1,000 folders; at most 0.9x on
// ext4 for one flat folder (--folders 1: all files in one folder below the tree).
//
//   remove_bench [--dir SCRATCH] [--files N] [--folders N] [--rounds N] [--threads N]
//       --threads N: N threads on the removal (the caller and N - 1 helpers, at most
//       maxRemovalThreads); 1 walks alone. Default: as the daemon, one per core.
//   remove_bench --memory [--dir SCRATCH] [--files N] [--folders N]
//       peak memory (max RSS) of a process that removes a tree of N files (empty, so a
//       million fit in memory on a tmpfs), against the same process removing nothing.
//
// The scratch folder (default /dev/shm) is the client file system's root, so the tree's
// client path "/Library/Caches/tree" passes the removal policy like a real cache does.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "TavelinHelper/monitor/PathRemoval.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* treeClientPath = "/Library/Caches/tree";

struct Options {
    std::string scratch = "/dev/shm";
    long files = 100000;
    long folders = 1000;
    int rounds = 3;
    bool memory = false;
    long threads = 0;        // 0: the process's removal helpers, as the daemon has them
    std::string removeOnly;  // internal: the child of --memory
};

class DiscardingLogSink final : public LogSink {
  protected:
    void writeLine(std::string_view /*escapedLine*/) override {}
};

[[noreturn]] void die(const std::string& what) {
    static_cast<void>(
        std::fprintf(stderr, "remove_bench: %s: %s\n", what.c_str(), std::strerror(errno)));
    std::exit(1);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string fileSystemType(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) {
        return "?";
    }
    switch (info.f_type) {
        case 0x01021994:
            return "tmpfs";
        case 0xEF53:
            return "ext4";
        case 0x9123683E:
            return "btrfs";
        case 0x58465342:
            return "xfs";
        case 0x794C7630:
            return "overlayfs";
        default:
            return "other";
    }
}

// The same pseudo-random lengths for every tree: 0 .. 4096 bytes.
std::size_t lengthOf(long index, bool withData) {
    return withData ? static_cast<std::size_t>((static_cast<unsigned long>(index) * 2654435761UL) %
                                               4097UL)
                    : 0;
}

void buildTree(const std::string& top, const Options& options, bool withData) {
    if (::mkdir(top.c_str(), 0755) != 0) {
        die("mkdir " + top);
    }
    const int topFd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    static const std::string data(4096, 'x');
    const long perFolder = (options.files + options.folders - 1) / options.folders;
    long index = 0;
    for (long folder = 0; folder < options.folders && index < options.files; ++folder) {
        const std::string name = "d" + std::to_string(folder);
        if (::mkdirat(topFd, name.c_str(), 0755) != 0) {
            die("mkdirat " + name);
        }
        const int folderFd = ::openat(topFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (long file = 0; file < perFolder && index < options.files; ++file, ++index) {
            const std::string fileName = "f" + std::to_string(file);
            const int fd =
                ::openat(folderFd, fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            const std::size_t length = lengthOf(index, withData);
            if (fd < 0 || (length > 0 && ::write(fd, data.data(), length) < 0)) {
                die("create " + fileName);
            }
            ::close(fd);
        }
        ::close(folderFd);
    }
    ::close(topFd);
}

// Runs a program to completion, stdout to /dev/null; false unless it exits with 0.
bool runTool(std::vector<std::string> arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawnError = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        return false;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ClientFileSystem openScratch(const std::string& root, RemovalHelpers& helpers) {
    Expected<ClientFileSystem, SystemError> fs = ClientFileSystem::open(root, "/", &helpers);
    if (!fs) {
        errno = fs.error().errorNumber;
        die("open " + root);
    }
    return std::move(fs).value();
}

void makeCachesFolder(const std::string& root) {
    for (const char* part : {"", "/Library", "/Library/Caches"}) {
        const std::string path = root + part;
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            die("mkdir " + path);
        }
    }
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// The helpers --threads asks for: the process's own by default.
RemovalHelpers& helpersFor(const Options& options) {
    if (options.threads <= 0) {
        return RemovalHelpers::shared();
    }
    static RemovalHelpers chosen(static_cast<std::size_t>(options.threads - 1));
    return chosen;
}

int timeRemoval(const Options& options) {
    const std::string ours = options.scratch + "/remove-bench-ours";
    const std::string theirs = options.scratch + "/remove-bench-reference";
    makeCachesFolder(ours);
    makeCachesFolder(theirs);
    RemovalHelpers& helpers = helpersFor(options);
    const ClientFileSystem fs = openScratch(ours, helpers);
    const std::string reference = theirs + treeClientPath;
    std::vector<double> oursSeconds;
    std::vector<double> referenceSeconds;
    std::int64_t freed = 0;
    for (int round = 0; round < options.rounds; ++round) {
        buildTree(ours + treeClientPath, options, true);
        buildTree(reference, options, true);
        ::sync();  // both trees written out alike before either is timed
        auto timeOurs = [&] {
            DiscardingLogSink log;
            const auto start = Clock::now();
            const PrivilegedResult result = removeSystemPaths({treeClientPath}, fs, log);
            oursSeconds.push_back(secondsSince(start));
            std::printf("  round %d: removeSystemPaths %.3f s\n", round, oursSeconds.back());
            if (!result.success()) {
                static_cast<void>(std::fprintf(stderr, "remove_bench: removal failed: %s\n",
                                               result.message().c_str()));
                std::exit(1);
            }
            freed = result.freedBytes();
        };
        auto timeReference = [&] {
            const auto start = Clock::now();
            const bool ok = runTool({"du", "-sB1", reference}) && runTool({"rm", "-rf", reference});
            referenceSeconds.push_back(secondsSince(start));
            std::printf("  round %d: du + rm %.3f s\n", round, referenceSeconds.back());
            if (!ok) {
                static_cast<void>(std::fprintf(stderr, "remove_bench: du or rm failed\n"));
                std::exit(1);
            }
        };
        if (round % 2 == 0) {
            timeOurs();
            timeReference();
        } else {
            timeReference();
            timeOurs();
        }
    }
    const double oursMedian = median(oursSeconds);
    const double referenceMedian = median(referenceSeconds);
    std::printf(
        "%s (%s): %ld files in %ld folders, %d rounds, freed %lld bytes, "
        "%zu parts handed to helpers\n",
        options.scratch.c_str(), fileSystemType(options.scratch).c_str(), options.files,
        options.folders, options.rounds, static_cast<long long>(freed), helpers.jobsHanded());
    std::printf("  removeSystemPaths %.3f s, du -sB1 + rm -rf %.3f s, ratio %.3fx\n", oursMedian,
                referenceMedian, oursMedian / referenceMedian);
    ::rmdir((ours + "/Library/Caches").c_str());
    ::rmdir((ours + "/Library").c_str());
    ::rmdir(ours.c_str());
    ::rmdir((theirs + "/Library/Caches").c_str());
    ::rmdir((theirs + "/Library").c_str());
    ::rmdir(theirs.c_str());
    return 0;
}

// The child of --memory: removes the tree below `root` and reports its own peak RSS.
int removeOnly(const Options& options, const std::string& root) {
    const ClientFileSystem fs = openScratch(root, helpersFor(options));
    DiscardingLogSink log;
    const PrivilegedResult result = removeSystemPaths({treeClientPath}, fs, log);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld %s\n", usage.ru_maxrss, result.message().c_str());
    return 0;
}

// Runs this program as "--remove-only ROOT" and reads back its peak RSS in KiB.
long childPeakKiB(const std::string& self, const std::string& root, long threads) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        die("pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::string program = self;
    std::string threadsFlag = "--threads";
    std::string threadCount = std::to_string(threads);
    std::string flag = "--remove-only";
    std::string rootArgument = root;
    char* argv[] = {program.data(), threadsFlag.data(),  threadCount.data(),
                    flag.data(),    rootArgument.data(), nullptr};
    pid_t child = 0;
    const int spawnError = ::posix_spawn(&child, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        errno = spawnError;
        die("posix_spawn " + self);
    }
    std::string output;
    char buffer[256];
    ssize_t count = 0;
    while ((count = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::printf("  child (%s): %s", root.c_str(), output.c_str());
    return std::strtol(output.c_str(), nullptr, 10);
}

int measureMemory(const Options& options, const std::string& self) {
    const std::string root = options.scratch + "/remove-bench-memory";
    makeCachesFolder(root);
    const long baseline =
        childPeakKiB(self, root, options.threads);  // nothing to remove: the fixed cost
    buildTree(root + treeClientPath, options, false);
    const long peak = childPeakKiB(self, root, options.threads);
    std::printf("%s (%s): %ld files in %ld folders (%ld entries)\n", options.scratch.c_str(),
                fileSystemType(options.scratch).c_str(), options.files, options.folders,
                options.files + options.folders + 1);
    std::printf("  peak RSS removing them %ld KiB, removing nothing %ld KiB, difference %ld KiB\n",
                peak, baseline, peak - baseline);
    ::rmdir((root + "/Library/Caches").c_str());
    ::rmdir((root + "/Library").c_str());
    ::rmdir(root.c_str());
    return 0;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const bool hasValue = i + 1 < argc;
        if (flag == "--dir" && hasValue) {
            options.scratch = argv[++i];
        } else if (flag == "--files" && hasValue) {
            options.files = std::strtol(argv[++i], nullptr, 10);
        } else if (flag == "--folders" && hasValue) {
            options.folders = std::strtol(argv[++i], nullptr, 10);
        } else if (flag == "--rounds" && hasValue) {
            options.rounds = static_cast<int>(std::max(1L, std::strtol(argv[++i], nullptr, 10)));
        } else if (flag == "--threads" && hasValue) {
            options.threads = std::strtol(argv[++i], nullptr, 10);
        } else if (flag == "--memory") {
            options.memory = true;
        } else if (flag == "--remove-only" && hasValue) {
            options.removeOnly = argv[++i];
        } else {
            static_cast<void>(
                std::fprintf(stderr,
                             "usage: remove_bench [--dir D] [--files N] "
                             "[--folders N] [--rounds N] [--threads N] [--memory]\n"));
            std::exit(2);
        }
    }
    options.folders = std::max(1L, options.folders);
    return options;
}

}  // namespace
}  // namespace tavelin::bench

int main(int argc, char** argv) {
    using namespace tavelin::bench;
    try {
        const Options options = parse(argc, argv);
        if (!options.removeOnly.empty()) {
            return removeOnly(options, options.removeOnly);
        }
        if (options.memory) {
            return measureMemory(options, argv[0]);
        }
        return timeRemoval(options);
    } catch (const std::exception& error) {
        static_cast<void>(std::fprintf(stderr, "remove_bench: %s\n", error.what()));
        return 1;
    }
}
