// Socket activation with real descriptors: each case runs in a forked child that gets the
// environment and the descriptor 3 (and 4) a service manager would hand over.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <variant>

#include "TavelinPlatform/ipc/SocketActivation.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin {
namespace {

enum class Handed {
    nothing,
    listeningUnix,
    connectedlessUnix,
    pipe,
    listeningTcp,
    connectedSeqpacket,
    connectedStream
};

// A descriptor of the given kind, moved to 100 or above so it cannot collide with 3 or 4.
int makeDescriptor(Handed kind) {
    int fd = -1;
    switch (kind) {
        case Handed::nothing:
            return -1;
        case Handed::listeningUnix: {
            auto socket = listenOnAbstractName("de.morvane.Tavelin.helper.test.activation." +
                                               std::to_string(::getpid()));
            fd = std::move(socket).value().release();
            break;
        }
        case Handed::connectedlessUnix:
            fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            break;
        case Handed::connectedSeqpacket:
        case Handed::connectedStream: {
            int ends[2];
            const int type = kind == Handed::connectedSeqpacket ? SOCK_SEQPACKET : SOCK_STREAM;
            if (::socketpair(AF_UNIX, type, 0, ends) != 0) {
                return -1;
            }
            fd = ends[0];  // the other end stays open in the child
            break;
        }
        case Handed::pipe: {
            int ends[2];
            if (::pipe(ends) != 0) {
                return -1;
            }
            fd = ends[0];
            break;
        }
        case Handed::listeningTcp: {
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
                ::listen(fd, 1) != 0) {
                return -1;
            }
            break;
        }
    }
    const int high = ::fcntl(fd, F_DUPFD, 100);
    ::close(fd);
    return high;
}

struct Case {
    const char* what;
    const char* listenPid;  // "self", "parent", a literal, or nullptr for unset
    const char* listenFds;  // nullptr for unset
    Handed fd3;
    Handed fd4;
    std::string expected;
    // 0: the listening socket a daemon takes; else the type of the connection a runner
    // takes (Accept=yes).
    int connectionType = 0;
};

std::string describe(const Expected<std::optional<UniqueFd>, SystemError>& result) {
    if (!result) {
        return "error " + std::to_string(result.error().errorNumber) + " " + result.error().context;
    }
    if (!*result) {
        return "none";
    }
    const int fd = (*result)->get();
    const bool closeOnExec = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    return "socket fd=" + std::to_string(fd) + " cloexec=" + (closeOnExec ? "1" : "0");
}

// Runs in the child: prepares descriptors and environment, takes the socket, reports.
[[noreturn]] void runCase(const Case& testCase, int report) {
    const int fd3 = makeDescriptor(testCase.fd3);
    const int fd4 = makeDescriptor(testCase.fd4);
    ::close(3);
    ::close(4);
    if (fd3 >= 0) {
        ::dup2(fd3, 3);
    }
    if (fd4 >= 0) {
        ::dup2(fd4, 4);
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    if (testCase.listenPid != nullptr) {
        const std::string pid =
            std::string(testCase.listenPid) == "self"     ? std::to_string(::getpid())
            : std::string(testCase.listenPid) == "parent" ? std::to_string(::getppid())
                                                          : testCase.listenPid;
        ::setenv("LISTEN_PID", pid.c_str(), 1);
    }
    if (testCase.listenFds != nullptr) {
        ::setenv("LISTEN_FDS", testCase.listenFds, 1);
    }
    ::setenv("LISTEN_FDNAMES", "tavelin", 1);
    const auto result = testCase.connectionType == 0
                            ? takeActivatedSocket()
                            : takeActivatedConnection(testCase.connectionType);
    std::string line = describe(result);
    const bool envGone = std::getenv("LISTEN_PID") == nullptr &&
                         std::getenv("LISTEN_FDS") == nullptr &&
                         std::getenv("LISTEN_FDNAMES") == nullptr;
    line += envGone ? " env=unset" : " env=kept";
    if (fd4 >= 0) {
        line += ::fcntl(4, F_GETFD) < 0 ? " fd4=closed" : " fd4=open";
    }
    (void)!::write(report, line.data(), line.size());
    ::_exit(0);
}

std::string runInChild(const Case& testCase) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        runCase(testCase, ::fcntl(ends[1], F_DUPFD, 200));
    }
    ::close(ends[1]);
    std::string report;
    char buffer[256];
    ssize_t count = 0;
    while ((count = ::read(ends[0], buffer, sizeof(buffer))) > 0) {
        report.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return report;
}

TEST(SocketActivationTest, TakesOnlyAValidHandOverMeantForThisProcess) {
    using enum Handed;
    const Case cases[] = {
        {"nothing handed over", nullptr, nullptr, nothing, nothing, "none env=unset"},
        {"fds without pid", nullptr, "1", listeningUnix, nothing, "none env=unset"},
        {"meant for the parent", "parent", "1", listeningUnix, nothing, "none env=unset"},
        {"pid not a number", "12ab", "1", listeningUnix, nothing, "none env=unset"},
        {"one listening unix socket", "self", "1", listeningUnix, nothing,
         "socket fd=3 cloexec=1 env=unset"},
        {"extra descriptors are closed", "self", "2", listeningUnix, pipe,
         "socket fd=3 cloexec=1 env=unset fd4=closed"},
        {"count zero", "self", "0", listeningUnix, nothing, "error 22 LISTEN_FDS env=unset"},
        {"count missing", "self", nullptr, listeningUnix, nothing, "error 22 LISTEN_FDS env=unset"},
        {"count too large", "self", "65", listeningUnix, nothing, "error 22 LISTEN_FDS env=unset"},
        {"count negative", "self", "-1", listeningUnix, nothing, "error 22 LISTEN_FDS env=unset"},
        {"descriptor 3 not open", "self", "1", nothing, nothing, "error 9 fcntl(3) env=unset"},
        {"a pipe", "self", "1", pipe, nothing, "error 88 descriptor 3 env=unset"},
        {"unix socket not listening", "self", "1", connectedlessUnix, nothing,
         "error 22 descriptor 3 env=unset"},
        {"tcp socket", "self", "1", listeningTcp, nothing, "error 22 descriptor 3 env=unset"},
        {"a connection where a listener is wanted", "self", "1", connectedStream, nothing,
         "error 22 descriptor 3 env=unset"},
        {"one packet connection", "self", "1", connectedSeqpacket, nothing,
         "socket fd=3 cloexec=1 env=unset", SOCK_SEQPACKET},
        {"a connection meant for the parent", "parent", "1", connectedSeqpacket, nothing,
         "none env=unset", SOCK_SEQPACKET},
        {"a listener where a connection is wanted", "self", "1", listeningUnix, nothing,
         "error 22 descriptor 3 env=unset", SOCK_STREAM},
        {"a stream connection where packets are wanted", "self", "1", connectedStream, nothing,
         "error 22 descriptor 3 env=unset", SOCK_SEQPACKET},
        {"a pipe where a connection is wanted", "self", "1", pipe, nothing,
         "error 88 descriptor 3 env=unset", SOCK_SEQPACKET},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        EXPECT_EQ(runInChild(testCase), testCase.expected);
    }
}

}  // namespace
}  // namespace tavelin
