// tavelin-e2e-peer flood COUNT: a client that opens many connections to the daemon named
// by TAVELIN_SERVICE_NAME at once, the way no well-behaved client would.
//
// Waits until its stdin has a byte or is closed (so several peers start together), connects
// COUNT sockets, then serves them all with poll(): waits for the hello, makes one
// helperVersion call, checks the reply, half-closes and waits for the daemon to close,
// counting any frame after the reply as a duplicate. Prints
// "connections=N admitted=N refused=N answered=N duplicates=N errors=N" and exits 0, or
// exits 2 on a usage or set-up error.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "Frame.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

enum class Stage { awaitingHello, awaitingReply, awaitingClose, done };

struct Connection {
    UniqueFd socket;
    FrameReader reader;
    Stage stage = Stage::awaitingHello;
    std::uint64_t callId = 0;
};

struct Tally {
    int admitted = 0;
    int refused = 0;
    int answered = 0;
    int duplicates = 0;
    int errors = 0;
};

Stage failed(Tally& tally) {
    ++tally.errors;
    return Stage::done;
}

// The stage after `body` arrived on `connection`.
Stage onFrame(Connection& connection, const std::string& body, Tally& tally) {
    switch (connection.stage) {
        case Stage::awaitingHello: {
            const auto call = encodeCall(CallFrame{connection.callId, CallSelector::helperVersion, {}});
            if (!std::holds_alternative<std::uint8_t>(decodeHello(body)) ||
                sendAll(connection.socket.get(), *call)) {
                return failed(tally);
            }
            ++tally.admitted;
            return Stage::awaitingReply;
        }
        case Stage::awaitingReply: {
            const auto reply = decodeReply(body);
            const auto* frame = std::get_if<ReplyFrame>(&reply);
            if (frame == nullptr || frame->callId != connection.callId || frame->answer != "0.0.1") {
                return failed(tally);
            }
            ::shutdown(connection.socket.get(), SHUT_WR);  // no more calls: the daemon may close
            ++tally.answered;
            return Stage::awaitingClose;
        }
        default:
            ++tally.duplicates;  // anything after the one reply
            return connection.stage;
    }
}

void onReadable(Connection& connection, Tally& tally) {
    std::string chunk;
    const auto error = receiveSome(connection.socket.get(), chunk, 65536);
    if (error || chunk.empty()) {
        if (connection.stage == Stage::awaitingHello) {
            ++tally.refused;  // closed (or reset) before the hello: not admitted
        } else if (connection.stage != Stage::awaitingClose || error) {
            ++tally.errors;
        }
        connection.stage = Stage::done;
        return;
    }
    connection.reader.append(chunk);
    while (connection.stage != Stage::done) {
        std::optional<std::string> body = connection.reader.next();
        if (!body) {
            break;
        }
        connection.stage = onFrame(connection, *body, tally);
    }
    if (connection.reader.failed()) {
        ++tally.errors;
        connection.stage = Stage::done;
    }
}

int flood(int count, const std::string& serviceName) {
    char go = 0;
    static_cast<void>(::read(STDIN_FILENO, &go, 1));
    std::vector<Connection> connections(static_cast<std::size_t>(count));
    for (std::size_t index = 0; index < connections.size(); ++index) {
        auto connected = connectToAbstractName(serviceName);
        if (!std::holds_alternative<UniqueFd>(connected)) {
            static_cast<void>(std::fprintf(stderr, "connect: %s\n", std::get<SystemError>(connected).text().c_str()));
            return 2;
        }
        connections[index].socket = std::move(std::get<UniqueFd>(connected));
        connections[index].callId = index + 1;
    }
    Tally tally;
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<Connection*> owners;
        for (Connection& connection : connections) {
            if (connection.stage != Stage::done) {
                waiting.push_back({connection.socket.get(), POLLIN, 0});
                owners.push_back(&connection);
            }
        }
        if (waiting.empty()) {
            break;
        }
        if (::poll(waiting.data(), waiting.size(), -1) < 0) {
            continue;  // EINTR
        }
        for (std::size_t index = 0; index < waiting.size(); ++index) {
            if (waiting[index].revents != 0) {
                onReadable(*owners[index], tally);
            }
        }
    }
    static_cast<void>(std::printf("connections=%d admitted=%d refused=%d answered=%d duplicates=%d errors=%d\n",
                                  count, tally.admitted, tally.refused, tally.answered,
                                  tally.duplicates, tally.errors));
    return 0;
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
    const char* serviceName = std::getenv("TAVELIN_SERVICE_NAME");
    const long count = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    if (std::string(argc > 1 ? argv[1] : "") != "flood" || serviceName == nullptr || count <= 0 || count > 10000) {
        static_cast<void>(std::fprintf(stderr, "usage: TAVELIN_SERVICE_NAME=NAME %s flood COUNT (1..10000)\n", argv[0]));
        return 2;
    }
    return tavelin::flood(static_cast<int>(count), serviceName);
}
