#include "TavelinPlatform/fs/tests/ScratchTree.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin::testing {

namespace {

namespace fs = std::filesystem;

std::string makeParents(const std::string& realPath) {
    std::error_code ignored;
    fs::create_directories(fs::path(realPath).parent_path(), ignored);
    return realPath;
}

void check(bool done, const char* what, const std::string& path) {
    if (!done) {
        ADD_FAILURE() << what << " " << path << ": " << std::strerror(errno);
    }
}

}  // namespace

ScratchTree::ScratchTree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0'    ? tmp
                                      : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                        : "/tmp") +
                          "/tavelin-fs-XXXXXX";
    const bool made = ::mkdtemp(pattern.data()) != nullptr && ::chmod(pattern.c_str(), 0755) == 0;
    check(made, "mkdtemp", pattern);
    root_ = made ? pattern : "";
}

void ScratchTree::makeFolder(const std::string& clientPath, mode_t mode) const {
    const std::string path = makeParents(real(clientPath));
    check(::mkdir(path.c_str(), mode) == 0 && ::chmod(path.c_str(), mode) == 0, "mkdir", path);
}

void ScratchTree::writeFile(const std::string& clientPath, std::size_t length, mode_t mode) const {
    const std::string path = makeParents(real(clientPath));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    const std::string data(length, 'x');
    check(fd >= 0 && ::write(fd, data.data(), length) == static_cast<ssize_t>(length) &&
              ::fchmod(fd, mode) == 0,
          "write", path);
    ::close(fd);
}

void ScratchTree::makeLink(const std::string& target, const std::string& clientPath) const {
    const std::string path = makeParents(real(clientPath));
    check(::symlink(target.c_str(), path.c_str()) == 0, "symlink", path);
}

std::optional<struct stat> ScratchTree::status(const std::string& clientPath) const {
    struct stat result {};
    return ::lstat(real(clientPath).c_str(), &result) == 0 ? std::optional(result) : std::nullopt;
}

long ScratchTree::countFiles(const std::string& clientPath) const {
    std::error_code error;
    long count = 0;
    for (fs::recursive_directory_iterator it(real(clientPath), error), end; !error && it != end;
         it.increment(error)) {
        count += it->is_directory() ? 0 : 1;
    }
    return error ? -1 : count;
}

std::int64_t ScratchTree::allocatedBelow(const std::string& clientPath) const {
    std::int64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(real(clientPath))) {
        struct stat st {};
        total += ::lstat(entry.path().c_str(), &st) == 0 ? st.st_blocks * 512 : 0;
    }
    return total;
}

std::optional<std::string> runInChild(const std::function<std::string()>& work, bool asNobody) {
    constexpr uid_t nobody = 65534;
    int pipeFds[2] = {-1, -1};
    const pid_t child = ::pipe2(pipeFds, O_CLOEXEC) == 0 ? ::fork() : -1;
    const UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    if (child == 0) {
        if (asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
                         ::setresuid(nobody, nobody, nobody) != 0)) {
            ::_exit(2);
        }
        const std::string answer = work();
        const auto length = static_cast<ssize_t>(answer.size());
        ::_exit(::write(writeEnd.get(), answer.data(), answer.size()) == length ? 0 : 3);
    }
    writeEnd.reset(-1);
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    char buffer[4096];
    const ssize_t count = child > 0 ? ::read(readEnd.get(), buffer, sizeof buffer) : -1;
    if (count < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(count));
}

bool removeWithRm(const std::string& path) {
    return !path.empty() && std::system(("rm -rf -- '" + path + "'").c_str()) == 0;
}

}  // namespace tavelin::testing
