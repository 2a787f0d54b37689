#include "TavelinHelper/monitor/FrontProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <string_view>
#include <vector>

#ifndef TAVELIN_FRONT_USER
#error "TAVELIN_FRONT_USER must name the front's account (set by CMake)"
#endif
#ifndef TAVELIN_FRONT_ROOT
#error "TAVELIN_FRONT_ROOT must name the front's empty root directory (set by CMake)"
#endif

namespace tavelin {

namespace {

constexpr std::string_view frontName = "tavelin-helper-front";

bool trustedOwner(const struct stat& status) {
    return (status.st_uid == 0 || status.st_uid == ::geteuid()) &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

Status<SystemError> ensureEmptyRoot(const std::string& path) {
    const auto parent = path.substr(0, path.rfind('/'));
    if (!parent.empty() && ::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        return lastSystemError("mkdir", parent);
    }
    if (::mkdir(path.c_str(), 0555) != 0 && errno != EEXIST) {
        return lastSystemError("mkdir", path);
    }
    const UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!directory || ::fstat(directory.get(), &status) != 0) {
        return lastSystemError("open", path);
    }
    if (status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return systemError(EPERM, "not root's or writable by others:", path);
    }
    DIR* listing = ::fdopendir(::dup(directory.get()));
    if (listing == nullptr) {
        return lastSystemError("opendir", path);
    }
    int entries = 0;
    while (const dirent* entry = ::readdir(listing)) {
        entries +=
            std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..";
    }
    ::closedir(listing);
    if (entries != 0) {
        return systemError(ENOTEMPTY, "front root", path);
    }
    return {};
}

// Moves `fd` to a number of 10 or more, so that the descriptors 3 to 5 of the child can
// be filled from it without one source overwriting another.
Expected<UniqueFd, SystemError> lifted(int fd) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 10));
    if (!copy) {
        return lastSystemError("fcntl(F_DUPFD_CLOEXEC)");
    }
    return copy;
}

}  // namespace

Expected<UniqueFd, SystemError> openFrontExecutable() {
    std::array<char, PATH_MAX> self{};
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0) {
        return lastSystemError("readlink", "/proc/self/exe");
    }
    std::string path(self.data(), static_cast<std::size_t>(length));
    path = path.substr(0, path.rfind('/') + 1) + std::string(frontName);
    UniqueFd executable(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!executable || ::fstat(executable.get(), &status) != 0) {
        return lastSystemError("open", path);
    }
    if (!S_ISREG(status.st_mode) || !trustedOwner(status)) {
        return systemError(EPERM, "not a file only root or this user can change:", path);
    }
    return executable;
}

Expected<FrontLaunch, SystemError> prepareFrontLaunch(UniqueFd executable) {
    FrontLaunch launch{std::move(executable), ::geteuid(), ::getegid(), {}, {}};
    if (::geteuid() != 0) {
        return launch;
    }
    const passwd* account = ::getpwnam(TAVELIN_FRONT_USER);
    if (account == nullptr || account->pw_uid == 0) {
        return systemError(ENOENT, "front account", TAVELIN_FRONT_USER);
    }
    launch.uid = account->pw_uid;
    launch.gid = account->pw_gid;
    launch.emptyRoot = TAVELIN_FRONT_ROOT;
    if (auto ready = ensureEmptyRoot(launch.emptyRoot); !ready) {
        return Unexpected(std::move(ready).error());
    }
    return launch;
}

Expected<ChildProcess, SystemError> startFront(const FrontLaunch& launch, int listeningSocket,
                                               int channelEnd, int anchorFile) {
    std::vector<UniqueFd> sources;
    for (const int fd : {listeningSocket, channelEnd, anchorFile, launch.executable.get()}) {
        auto copy = lifted(fd);
        if (!copy) {
            return Unexpected(std::move(copy).error());
        }
        sources.push_back(std::move(copy).value());
    }
    posix_spawn_file_actions_t actions;
    if (const int error = posix_spawn_file_actions_init(&actions); error != 0) {
        return systemError(error, "posix_spawn_file_actions_init");
    }
    int error = 0;
    // The executable travels as descriptor 6 and is started through it, so the file checked
    // is the file that runs; the front closes 6 first thing.
    for (int target = 3; target <= 6 && error == 0; ++target) {
        error = posix_spawn_file_actions_adddup2(&actions, sources[target - 3].get(), target);
    }
    if (error == 0) {
        error = posix_spawn_file_actions_addclosefrom_np(&actions, 7);
    }
    const std::string program = "/proc/self/fd/6";
    std::vector<std::string> words = {
        "tavelin-helper-front",     "--account", std::to_string(launch.uid),
        std::to_string(launch.gid), "--root",    launch.emptyRoot};
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // The front decides for itself, as we did, whether its stderr is the journal.
    std::string journal = "JOURNAL_STREAM=" + launch.journalStream;
    char* environment[] = {launch.journalStream.empty() ? nullptr : journal.data(), nullptr};
    pid_t pid = -1;
    if (error == 0) {
        error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environment);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return systemError(error, "start", frontName);
    }
    return ChildProcess(pid);
}

}  // namespace tavelin
