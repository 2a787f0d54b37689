// tavelin_host_folders_launcher PROGRAM [ARG...]: runs PROGRAM in a private mount namespace
// where the host's folders a linux layout acts in are throwaway: a tmpfs over /var with
// empty cache, log, temporary, crash and core dump folders (and /var/lib/dpkg, /var/run and
// /var/lock as a host has them), a tmpfs over /opt, and a copy of /etc/passwd over the real
// one. Nothing PROGRAM removes or repairs can reach the host's own files; a test reaches
// PROGRAM's view through /proc/<pid>/root. Execs PROGRAM in this same process. Needs
// CAP_SYS_ADMIN, and a host with /opt.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool fail(const std::string& what) {
    std::fprintf(stderr, "host folders: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

bool makeFolders(std::initializer_list<std::pair<const char*, mode_t>> folders) {
    for (const auto& [path, mode] : folders) {
        if (::mkdir(path, mode) != 0 || ::chmod(path, mode) != 0) {
            return fail(std::string("mkdir ") + path);
        }
    }
    return true;
}

bool layThrowawayFolders() {
    std::stringstream passwd;
    passwd << std::ifstream("/etc/passwd").rdbuf();  // the front looks its account up there
    if (::unshare(CLONE_NEWNS) != 0) {
        return fail("unshare");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("making / private");
    }
    for (const char* folder : {"/var", "/opt"}) {
        if (::mount("tmpfs", folder, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
            return fail(std::string("tmpfs over ") + folder);
        }
    }
    if (!makeFolders({{"/var/cache", 0755},
                      {"/var/log", 0755},
                      {"/var/tmp", 01777},
                      {"/var/crash", 01777},
                      {"/var/lib", 0755},
                      {"/var/lib/dpkg", 0755},
                      {"/var/lib/systemd", 0755},
                      {"/var/lib/systemd/coredump", 0755}})) {
        return false;
    }
    if (::symlink("/run", "/var/run") != 0 || ::symlink("/run/lock", "/var/lock") != 0) {
        return fail("symlinks to /run");
    }
    const char* passwdCopy = "/var/lib/passwd";
    if (!(std::ofstream(passwdCopy) << passwd.str())) {
        return fail("copying /etc/passwd");
    }
    if (::mount(passwdCopy, "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
        return fail("binding the copy over /etc/passwd");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 64;
    }
    if (!layThrowawayFolders()) {
        return 1;
    }
    ::execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
