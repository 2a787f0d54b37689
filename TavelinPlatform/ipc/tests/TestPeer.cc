// A client process for the sender-rule tests:
//   tavelin_ipc_test_peer normal <name>  greet, make a version call, expect "0.0.1"
//   tavelin_ipc_test_peer early <name>   write a call before the HELLO could have arrived
//   tavelin_ipc_test_peer fork <name>    greet, then let a forked child write a call on the
//                                        inherited socket
// Prints "ready" on stdout once the daemon may go on admitting, then exits 0 when the
// daemon behaved as the mode expects (answered, or closed without a further byte) and 1
// otherwise, with the reason on stdout.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <variant>

#include "Frame.h"
#include "UnixSocket.h"

namespace {

using namespace tavelin;

int fail(const char* reason) {
    (void)std::printf("%s\n", reason);
    return 1;
}

void ready() {
    (void)std::printf("ready\n");
    (void)std::fflush(stdout);
}

// The next frame body; nothing once the connection closed or broke.
std::variant<std::string, int> nextFrame(int fd, FrameReader& reader) {
    std::string chunk;
    for (;;) {
        if (auto body = reader.next()) {
            return std::move(*body);
        }
        if (reader.failed() || receiveSome(fd, chunk, 4096) || chunk.empty()) {
            return 0;
        }
        reader.append(chunk);
    }
}

bool greet(int fd, FrameReader& reader) {
    auto hello = nextFrame(fd, reader);
    return std::holds_alternative<std::string>(hello) &&
           decodeHello(std::get<std::string>(hello)) ==
               std::variant<std::uint8_t, FrameError>(protocolVersion);
}

bool sendVersionCall(int fd) {
    const auto call = encodeCall(CallFrame{1, CallSelector::helperVersion, ""});
    return call && !sendAll(fd, *call);
}

int normal(int fd) {
    ready();
    FrameReader reader;
    if (!greet(fd, reader) || !sendVersionCall(fd)) {
        return fail("no hello or cannot send");
    }
    auto body = nextFrame(fd, reader);
    if (!std::holds_alternative<std::string>(body)) {
        return fail("closed without reply");
    }
    auto reply = decodeReply(std::get<std::string>(body));
    const auto* frame = std::get_if<ReplyFrame>(&reply);
    return frame != nullptr && frame->answer == "0.0.1" ? 0 : fail("wrong reply");
}

int early(int fd) {
    if (!sendVersionCall(fd)) {
        return fail("cannot send");
    }
    ready();
    FrameReader reader;
    auto frame = nextFrame(fd, reader);
    return std::holds_alternative<int>(frame) && reader.atFrameBoundary()
               ? 0
               : fail("the daemon greeted or answered");
}

int forked(int fd) {
    ready();
    FrameReader reader;
    if (!greet(fd, reader)) {
        return fail("no hello");
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return fail("fork failed");
    }
    if (child == 0) {
        ::_exit(sendVersionCall(fd) ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return fail("child could not write");
    }
    auto frame = nextFrame(fd, reader);
    return std::holds_alternative<int>(frame) && reader.atFrameBoundary()
               ? 0
               : fail("the daemon answered the child");
}

// Runs the peer in `mode` against the abstract `name`; the process's exit status.
int run(std::string_view mode, const char* name) {
    auto connected = connectToAbstractName(name);
    if (!std::holds_alternative<UniqueFd>(connected)) {
        return fail("cannot connect");
    }
    const UniqueFd fd = std::get<UniqueFd>(std::move(connected));
    if (mode == "normal") {
        return normal(fd.get());
    }
    if (mode == "early") {
        return early(fd.get());
    }
    if (mode == "fork") {
        return forked(fd.get());
    }
    return fail("unknown mode");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return fail("usage: tavelin_ipc_test_peer normal|early|fork <name>");
    }
    try {
        return run(argv[1], argv[2]);
    } catch (const std::exception&) {
        return fail("out of memory");
    }
}
