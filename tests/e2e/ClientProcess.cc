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
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
    bool ok = false;
    Pipe() {
        int fds[2];
        ok = ::pipe2(fds, O_CLOEXEC) == 0;
        if (ok) {
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
    }
};

}  // namespace

ClientProcess::ClientProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& serviceName) {
    Pipe input;
    Pipe out;
    Pipe err;
    if (!input.ok || !out.ok || !err.ok) {
        whyNot_ = "pipe: " + systemErrorText(errno);
        return;
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).rfind("TAVELIN_SERVICE_NAME=", 0) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (!serviceName.empty()) {
        environment.push_back("TAVELIN_SERVICE_NAME=" + serviceName);
    }
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.read.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
    const int failed =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        pid_ = 0;
        whyNot_ = "spawn " + program + ": " + systemErrorText(failed);
        return;
    }
    input_ = std::move(input.write);
    out_ = std::move(out.read);
    err_ = std::move(err.read);
}

ClientProcess::ClientProcess(ClientProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      whyNot_(std::move(other.whyNot_)),
      input_(std::move(other.input_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

ClientProcess::~ClientProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        static_cast<void>(finish());
    }
}

void ClientProcess::writeInput(const std::string& bytes) {
    if (input_) {
        static_cast<void>(::write(input_.get(), bytes.data(), bytes.size()));
    }
}

void ClientProcess::closeInput() { input_.reset(); }

void ClientProcess::kill(int signalNumber) {
    if (pid_ > 0) {
        ::kill(pid_, signalNumber);
    }
}

ClientOutcome ClientProcess::finish() {
    ClientOutcome outcome;
    outcome.pid = pid_;
    if (pid_ <= 0) {
        outcome.err = whyNot_;
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
    ClientProcess process(program, arguments, serviceName);
    return process.finish();
}

}  // namespace tavelin::e2e
