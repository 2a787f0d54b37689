#include "ScratchTree.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::testing {

namespace {

constexpr uid_t nobodyId = 65534;

std::string errnoText() {
    return std::strerror(errno);
}

void makeParents(const std::string& realPath) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(realPath).parent_path(), ignored);
}

}  // namespace

ScratchTree::ScratchTree(const std::string& base) {
    std::string parent = base;
    if (parent.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        if (tmp != nullptr && *tmp != '\0') {
            parent = tmp;
        } else {
            parent = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
        }
    }
    std::string pattern = parent + "/tavelin-fs-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << errnoText();
        return;
    }
    root_ = buffer.data();
    ::chmod(root_.c_str(), 0755);
}

ScratchTree::~ScratchTree() {
    if (!root_.empty()) {
        removeWithRm(root_);
    }
}

std::string ScratchTree::real(const std::string& clientPath) const {
    return clientPath.starts_with('/') ? root_ + clientPath : root_ + "/" + clientPath;
}

void ScratchTree::makeFolder(const std::string& clientPath, mode_t mode) const {
    const std::string path = real(clientPath);
    makeParents(path);
    if (::mkdir(path.c_str(), mode) != 0 || ::chmod(path.c_str(), mode) != 0) {
        ADD_FAILURE() << "mkdir " << path << ": " << errnoText();
    }
}

void ScratchTree::writeFile(const std::string& clientPath, std::size_t length, mode_t mode) const {
    const std::string path = real(clientPath);
    makeParents(path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << errnoText();
        return;
    }
    const std::string data(length, 'x');
    if (::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        ADD_FAILURE() << "write " << path << ": " << errnoText();
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

void ScratchTree::makeLink(const std::string& target, const std::string& clientPath) const {
    const std::string path = real(clientPath);
    makeParents(path);
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "symlink " << path << ": " << errnoText();
    }
}

bool ScratchTree::exists(const std::string& clientPath) const {
    return status(clientPath).has_value();
}

std::optional<struct stat> ScratchTree::status(const std::string& clientPath) const {
    struct stat result {};
    if (::lstat(real(clientPath).c_str(), &result) != 0) {
        return std::nullopt;
    }
    return result;
}

long ScratchTree::countFiles(const std::string& clientPath) const {
    std::error_code error;
    long count = 0;
    std::filesystem::recursive_directory_iterator it(real(clientPath), error);
    if (error) {
        return -1;
    }
    for (const auto& entry : it) {
        if (!entry.is_directory()) {
            ++count;
        }
    }
    return count;
}

std::int64_t ScratchTree::allocatedBelow(const std::string& clientPath) const {
    std::int64_t total = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(real(clientPath))) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) == 0) {
            total += static_cast<std::int64_t>(st.st_blocks) * 512;
        }
    }
    return total;
}

namespace {

std::optional<std::string> runForked(const std::function<std::string()>& work, bool asNobody) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(nobodyId, nobodyId, nobodyId) != 0 ||
             ::setresuid(nobodyId, nobodyId, nobodyId) != 0)) {
            ::_exit(2);
        }
        const std::string answer = work();
        const char* data = answer.data();
        std::size_t left = answer.size();
        while (left > 0) {
            const ssize_t written = ::write(pipeFds[1], data, left);
            if (written <= 0) {
                ::_exit(3);
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string answer;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count > 0) {
            answer.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return answer;
}

}  // namespace

std::optional<std::string> runAsNobody(const std::function<std::string()>& work) {
    return runForked(work, true);
}

std::optional<std::string> runInChild(const std::function<std::string()>& work) {
    return runForked(work, false);
}

bool removeWithRm(const std::string& path) {
    const char* argv[] = {"rm", "-rf", "--", path.c_str(), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, "rm", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return false;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tavelin::testing
