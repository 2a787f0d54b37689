// tavelin_old_kernel_launcher PROGRAM [ARG...]: runs PROGRAM as if on a kernel before 6.5.
// It installs a system call filter that answers ENOPROTOOPT, as such a kernel does, to
// setsockopt(SO_PASSPIDFD) and getsockopt(SO_PEERPIDFD), then execs PROGRAM in this same
// process. The filter stays with PROGRAM and everything it starts. Needs root (the filter
// is installed without no_new_privs, so that PROGRAM keeps its privileges).
#include <seccomp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "TavelinPlatform/process/Pidfd.h"

namespace {

bool installFilter() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) {
        return false;
    }
    const bool installed =
        seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 0) == 0 &&
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOPROTOOPT), SCMP_SYS(setsockopt), 2,
                         SCMP_A1(SCMP_CMP_EQ, SOL_SOCKET),
                         SCMP_A2(SCMP_CMP_EQ, tavelin::passPidfdOption)) == 0 &&
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOPROTOOPT), SCMP_SYS(getsockopt), 2,
                         SCMP_A1(SCMP_CMP_EQ, SOL_SOCKET),
                         SCMP_A2(SCMP_CMP_EQ, tavelin::peerPidfdOption)) == 0 &&
        seccomp_load(filter) == 0;
    seccomp_release(filter);
    return installed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 64;
    }
    if (!installFilter()) {
        std::perror("seccomp");
        return 1;
    }
    ::execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
