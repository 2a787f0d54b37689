// The front as the kernel sees it: another account, no capabilities, no new privileges, a
// system call filter and an empty root; and a forbidden call that ends the front alone,
// after which the monitor starts a new one and the service goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

std::string statusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
        }
    }
    return "?";
}

pid_t frontOf(pid_t monitor) {
    std::ifstream children("/proc/" + std::to_string(monitor) + "/task/" + std::to_string(monitor) +
                           "/children");
    pid_t child = -1;
    children >> child;
    return child;
}

// Makes the front's main thread, asleep in epoll_wait, make another system call instead
// when it resumes: seized, its registers turned to `number` with `arguments` at the same
// instruction. Had the filter let it through, its result would reach the event loop as
// epoll_wait's, which ends the front with a status instead of a signal.
bool injectSystemCall(pid_t pid, long number, const std::array<unsigned long long, 6>& arguments) {
#if defined(__x86_64__)
    if (::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0 ||
        ::ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr) != 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid, &status, __WALL) != pid) {
        return false;
    }
    user_regs_struct registers{};
    if (::ptrace(PTRACE_GETREGS, pid, nullptr, &registers) != 0) {
        return false;
    }
    const long code = ::ptrace(PTRACE_PEEKTEXT, pid, registers.rip - 2, nullptr);
    if ((code & 0xFFFF) != 0x050F) {  // the "syscall" instruction it stopped behind
        ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
        return false;
    }
    registers.rip -= 2;
    registers.orig_rax = static_cast<unsigned long long>(-1);  // no restart of epoll_wait
    registers.rax = static_cast<unsigned long long>(number);
    registers.rdi = arguments[0];
    registers.rsi = arguments[1];
    registers.rdx = arguments[2];
    registers.r10 = arguments[3];
    registers.r8 = arguments[4];
    registers.r9 = arguments[5];
    return ::ptrace(PTRACE_SETREGS, pid, nullptr, &registers) == 0 &&
           ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr) == 0;
#else
    static_cast<void>(pid);
    static_cast<void>(number);
    static_cast<void>(arguments);
    return false;
#endif
}

class DaemonConfinementTest : public DaemonTest {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the front is confined only when the daemon starts as root";
        }
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        // The front is up once the first client is served.
        ASSERT_EQ(tavelinctl({"version"}).output, "0.0.1\n");
        front_ = frontOf(daemonProcess->pid());
        ASSERT_GT(front_, 0);
    }

    pid_t front_ = -1;
};

TEST_F(DaemonConfinementTest, TheFrontRunsUnprivilegedFilteredAndLockedIntoAnEmptyRoot) {
    EXPECT_EQ(statusField(front_, "Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(statusField(front_, "CapEff"), "0000000000000000");
    EXPECT_EQ(statusField(front_, "CapPrm"), "0000000000000000");
    EXPECT_EQ(statusField(front_, "NoNewPrivs"), "1");
    EXPECT_EQ(statusField(front_, "Seccomp"), "2");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(front_) + "/root"),
              "/run/tavelin-helper/empty");
    // The monitor keeps root and no filter: it is the part that acts.
    EXPECT_EQ(statusField(daemonProcess->pid(), "Uid").substr(0, 2), "0\t");
    // Nothing it holds leads out of its root: no directory, on any descriptor.
    const std::string descriptors = "/proc/" + std::to_string(front_) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(descriptors)) {
        struct stat status {};
        ASSERT_EQ(::stat(entry.path().c_str(), &status), 0) << entry.path();
        EXPECT_FALSE(S_ISDIR(status.st_mode))
            << entry.path() << " -> " << std::filesystem::read_symlink(entry.path());
    }
}

TEST_F(DaemonConfinementTest, AForbiddenCallEndsTheFrontAloneAndANewOneServes) {
    using Arguments = std::array<unsigned long long, 6>;
    const auto word = [](long value) { return static_cast<unsigned long long>(value); };
    const struct {
        const char* what;
        long number;
        Arguments arguments;
    } cases[] = {
        {"a socket", SYS_socket, {AF_INET, SOCK_STREAM, 0, 0, 0, 0}},
        {"a read-only open that truncates",
         SYS_openat,
         {word(AT_FDCWD), 0, O_RDONLY | O_TRUNC, 0, 0, 0}},
        {"a connection accepted by the front", SYS_accept4, {3, 0, 0, 0, 0, 0}},
        {"executable memory",
         SYS_mmap,
         {0, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, word(-1), 0}},
    };
    std::size_t ends = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const pid_t front = frontOf(daemonProcess->pid());
            if (!injectSystemCall(front, c.number, c.arguments)) {
                GTEST_SKIP()
                    << "cannot make the front call anything here (x86-64 and ptrace needed)";
            }
            const auto ended = daemonProcess->waitForLines(
                [](const std::string& line) {
                    return line.rfind("[TavelinHelper] Front beendet (", 0) == 0;
                },
                ++ends);
            ASSERT_EQ(ended.size(), ends);
            EXPECT_EQ(ended.back(),
                      "[TavelinHelper] Front beendet (Signal 31), wird neu gestartet");
            EXPECT_EQ(::kill(daemonProcess->pid(), 0), 0) << "the monitor ended too";
            EXPECT_EQ(tavelinctl({"version"}).output, "0.0.1\n");
            EXPECT_NE(frontOf(daemonProcess->pid()), front);
        }();
    }
}

// Started without a capability admission relies on, the daemon says at start what it
// cannot do. Without CAP_SYS_PTRACE it cannot look at a client with capabilities it lacks
// (this root client) either; without map_files it goes by the path, which it sees here.
TEST(DaemonCapabilitiesTest, StartLinesNameTheCapabilitiesAdmissionMisses) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, whose capabilities the daemon reads";
    }
    const std::string ptraceLine =
        "[TavelinHelper] Ohne CAP_SYS_PTRACE: Clients anderer Benutzer werden abgelehnt "
        "(ihr Programm ist \u00fcber /proc nicht zu \u00f6ffnen)";
    const std::string mapFilesLine =
        "[TavelinHelper] Ohne CAP_CHECKPOINT_RESTORE: der Code der Clients wird \u00fcber "
        "seinen Pfad gepr\u00fcft; Clients in Ordnern, die der Dienst nicht sieht, werden "
        "abgelehnt";
    struct Case {
        const char* dropped;  // setpriv's --bounding-set, or nothing
        bool ptrace;
        bool mapFiles;
        bool served;
    };
    const Case cases[] = {
        {"", false, false, true},
        {"-sys_ptrace", true, false, false},
        {"-checkpoint_restore,-sys_admin", false, true, true},
        {"-checkpoint_restore", false, false, true},  // CAP_SYS_ADMIN opens map_files as well
    };
    const ScratchDirectory scratch;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.dropped);
        [&] {
            const std::string launcher = scratch.file("launcher");
            std::ofstream(launcher)
                << "#!/bin/sh\n"
                << (*testCase.dropped == '\0' ? std::string("exec \"$@\"\n")
                                              : "exec /usr/bin/setpriv --bounding-set=" +
                                                    std::string(testCase.dropped) + " -- \"$@\"\n");
            std::filesystem::permissions(launcher, std::filesystem::perms(0755));
            std::string whyNot;
            const auto daemon = DaemonProcess::start(uniqueServiceName(), whyNot, 0, launcher);
            ASSERT_NE(daemon, nullptr) << whyNot;
            const auto lines = daemon->lines();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), ptraceLine), testCase.ptrace ? 1 : 0);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), mapFilesLine),
                      testCase.mapFiles ? 1 : 0);
            const ClientOutcome version =
                runClient(tavelinctlPath, {"version"}, daemon->serviceName());
            EXPECT_EQ(version.exitStatus, testCase.served ? 0 : 2) << version.output;
        }();
    }
}

}  // namespace
}  // namespace tavelin::e2e
