#include "tools/tavelinctl/TerminalAgent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/process/PeerProcess.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): posix_spawn needs it

namespace tavelin::tavelinctl {

namespace {

// The agent's descriptor for "registered": closed by the agent once it is.
constexpr int notifyDescriptor = 3;

// Waits until the agent closed its end of `readEnd`, at most `deadline`.
void awaitRegistration(int readEnd, std::chrono::milliseconds deadline) {
    pollfd waiting{readEnd, POLLIN, 0};
    static_cast<void>(
        retryOnInterrupt([&] { return ::poll(&waiting, 1, static_cast<int>(deadline.count())); }));
}

// A graphical session runs an agent of its own, which polkit would otherwise pass over for
// ours (an agent registered for one process comes first; a "fallback" one is never asked
// for a process).
bool inGraphicalSession() {
    return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
}

}  // namespace

TerminalAgent::TerminalAgent() {
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDERR_FILENO) != 1 || inGraphicalSession() ||
        ::access(agentPath, X_OK) != 0) {
        return;
    }
    // The process with its start time, as the daemon names it when it asks: the agent is
    // found for exactly that subject.
    const UniqueFd self(::open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto startTime = self ? startTimeOf(self.get()) : std::nullopt;
    std::array<int, 2> ends{};
    if (!startTime || ::pipe2(ends.data(), O_CLOEXEC) != 0) {
        return;
    }
    const UniqueFd registered(ends[0]);
    UniqueFd notify(ends[1]);
    const std::string process =
        "--process=" + std::to_string(::getpid()) + "," + std::to_string(*startTime);
    const std::string notifyOption = "--notify-fd=" + std::to_string(notifyDescriptor);
    std::array<char*, 4> arguments = {const_cast<char*>(agentPath),
                                      const_cast<char*>(process.c_str()),
                                      const_cast<char*>(notifyOption.c_str()), nullptr};
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    // dup2 onto another number clears close-on-exec for the agent's copy only.
    ::posix_spawn_file_actions_adddup2(&actions, notify.get(), notifyDescriptor);
    // A set-group-id client must not hand its group to another program.
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_RESETIDS);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, agentPath, &actions, &attributes, arguments.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    notify.reset();  // only the agent's copy is left: closed once it has registered
    if (spawned == 0) {
        pid_ = pid;
        awaitRegistration(registered.get(), registrationDeadline);
    }
}

TerminalAgent::~TerminalAgent() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        static_cast<void>(retryOnInterrupt([&] { return ::waitpid(pid_, nullptr, 0); }));
    }
}

}  // namespace tavelin::tavelinctl
