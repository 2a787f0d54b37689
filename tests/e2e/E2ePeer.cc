// tavelin-e2e-peer: a client program for the end-to-end tests that opens many connections
// to the daemon at once, the way no well-behaved client would.
//
//   tavelin-e2e-peer flood COUNT
//
// Waits until its stdin has a byte or is closed (so that several peers can be released at
// the same moment), connects COUNT sockets to the daemon named by TAVELIN_SERVICE_NAME,
// and then serves them all together with poll(): on every connection it waits for the
// hello, makes one helperVersion call, checks the reply, half-closes its side and waits
// for the daemon to close, counting any frame that arrives after the reply. Prints one
// line "connections=N admitted=N refused=N answered=N duplicates=N errors=N" and exits 0,
// or exits 2 on a usage or set-up error.
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

// Handles one complete frame body on `connection`.
void onFrame(Connection& connection, const std::string& body, Tally& tally) {
    if (connection.stage == Stage::awaitingHello) {
        const auto version = decodeHello(body);
        const auto frame = encodeCall(CallFrame{connection.callId, CallSelector::helperVersion, {}});
        if (!std::holds_alternative<std::uint8_t>(version) ||
            sendAll(connection.socket.get(), *frame).has_value()) {
            ++tally.errors;
            connection.stage = Stage::done;
            return;
        }
        ++tally.admitted;
        connection.stage = Stage::awaitingReply;
        return;
    }
    if (connection.stage == Stage::awaitingReply) {
        const auto reply = decodeReply(body);
        const auto* frame = std::get_if<ReplyFrame>(&reply);
        if (frame == nullptr || frame->callId != connection.callId || frame->answer != "0.0.1") {
            ++tally.errors;
            connection.stage = Stage::done;
            return;
        }
        ++tally.answered;
        ::shutdown(connection.socket.get(), SHUT_WR);  // no more calls: the daemon may close
        connection.stage = Stage::awaitingClose;
        return;
    }
    ++tally.duplicates;  // anything after the one reply
}

// Reads what is there; handles end of stream.
void onReadable(Connection& connection, Tally& tally) {
    std::string chunk;
    const auto error = receiveSome(connection.socket.get(), chunk, 65536);
    if (error.has_value() || chunk.empty()) {
        const bool reset = error.has_value();
        if (connection.stage == Stage::awaitingHello) {
            ++tally.refused;  // closed (or reset) before the hello: not admitted
        } else if (connection.stage != Stage::awaitingClose || reset) {
            ++tally.errors;
        }
        connection.stage = Stage::done;
        return;
    }
    connection.reader.append(chunk);
    while (std::optional<std::string> body = connection.reader.next()) {
        onFrame(connection, *body, tally);
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
            static_cast<void>(std::fprintf(stderr, "connect: %s\n",
                                           std::get<SystemError>(connected).text().c_str()));
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
                count, tally.admitted, tally.refused, tally.answered, tally.duplicates,
                tally.errors));
    return 0;
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
    const char* serviceName = std::getenv("TAVELIN_SERVICE_NAME");
    if (argc != 3 || std::string(argv[1]) != "flood" || serviceName == nullptr) {
        static_cast<void>(
            std::fprintf(stderr, "usage: TAVELIN_SERVICE_NAME=NAME %s flood COUNT\n", argv[0]));
        return 2;
    }
    char* end = nullptr;
    const long count = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || count <= 0 || count > 10000) {
        static_cast<void>(std::fprintf(stderr, "COUNT must be 1..10000\n"));
        return 2;
    }
    return tavelin::flood(static_cast<int>(count), serviceName);
}
