#include "ClientProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "SystemError.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::e2e {
namespace {

std::string readToEnd(const UniqueFd& fd) {
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(fd.get(), buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
        text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    return text;
}

// NUL-terminated pointers into `words`, for argv and envp.
std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (std::string& word : words) {
        out.push_back(word.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

ClientProcess::ClientProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& serviceName) {
    int fds[6];
    if (::pipe2(fds, O_CLOEXEC) != 0 || ::pipe2(fds + 2, O_CLOEXEC) != 0 ||
        ::pipe2(fds + 4, O_CLOEXEC) != 0) {
        whyNot_ = "pipe: " + systemErrorText(errno);
        return;
    }
    const UniqueFd inRead(fds[0]);
    const UniqueFd outWrite(fds[3]);
    const UniqueFd errWrite(fds[5]);
    input_.reset(fds[1]);
    out_.reset(fds[2]);
    err_.reset(fds[4]);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).rfind("TAVELIN_SERVICE_NAME=", 0) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (!serviceName.empty()) {
        environment.push_back("TAVELIN_SERVICE_NAME=" + serviceName);
    }
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
    const int failed = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                                     pointers(words).data(), pointers(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        pid_ = 0;
        whyNot_ = "spawn " + program + ": " + systemErrorText(failed);
    }
}

ClientProcess::ClientProcess(ClientProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), whyNot_(std::move(other.whyNot_)),
      input_(std::move(other.input_)), out_(std::move(other.out_)), err_(std::move(other.err_)) {}

ClientProcess::~ClientProcess() {
    if (pid_ > 0) {
        kill(SIGKILL);
        static_cast<void>(finish());
    }
}

void ClientProcess::kill(int signalNumber) const {
    if (pid_ > 0) {
        ::kill(pid_, signalNumber);
    }
}

ClientOutcome ClientProcess::finish() {
    ClientOutcome outcome{pid_, -1, {}, whyNot_};
    if (pid_ <= 0) {
        return outcome;
    }
    input_.reset();
    outcome.out = readToEnd(out_);
    outcome.err = readToEnd(err_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

ClientOutcome runClient(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& serviceName) {
    return ClientProcess(program, arguments, serviceName).finish();
}

}  // namespace tavelin::e2e
