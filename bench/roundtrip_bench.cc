// roundtrip_bench: what the two-process daemon costs, as ratios to their floors. The real
// daemon (tavelin-helper and its front) runs socket-activated on a name of its own; this
// signed binary is the client.
//
//   1. helperVersion round trip (the front answers it alone) against a bare ping-pong of
//      the same frame sizes over a socketpair. Target: at most 1.5x.
//   2. A perform that removes nothing (one more hop, to the monitor and back) against the
//      same ping-pong of its own frame sizes. Target: at most 3x.
//   3. Admission of a 20 MiB signed client (connect to HELLO, timed by the client) against
//      hashing the same file with SHA-256 here. Target: at most 1.15x. And refusing the
//      same program unsigned, against the signed admission.
//   4. Resident memory of both daemon processes per idle admitted connection, over 2,000
//      connections. Target: at most 4 KiB.
//   5. 1,000 admissions of the same client in a row (this binary: connect to HELLO, then
//      close), against 1,000 bare connects and accepts on a Unix socket. Its executable is
//      verified once and not hashed again. Target: at most twice 1,000 D-Bus connects with
//      Hello (about 300 to 400 us per admission).
//
// Run from the build tree (it signs its 20 MiB client with the development identity).
// Invoked as "roundtrip_bench --connect NAME" it is that client: it connects, prints the
// microseconds from connect() to the HELLO (or "refused"), and waits for end of stream.
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TavelinClient/HelperClient.h"
#include "TavelinPlatform/identity/SignatureBlock.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/signing/CodeSigner.h"
#include "tests/e2e/EndToEndSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t clientSize = std::size_t{20} * 1024 * 1024;
constexpr std::string_view emptyRemoval = R"({"removeSystemPaths":{"_0":[]}})";

double secondsOf(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void fail(const std::string& what) {
    static_cast<void>(std::fprintf(stderr, "roundtrip_bench: %s\n", what.c_str()));
    std::exit(2);
}

bool receiveExactly(int fd, char* buffer, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t count = ::recv(fd, buffer + done, size - done, 0);
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// The floor: one thread echoes a reply of the reply frame's size for every call frame's
// worth of bytes, over a socketpair.
class BarePingPong {
  public:
    BarePingPong(std::string call, std::string reply)
        : call_(std::move(call)), reply_(std::move(reply)) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            fail("socketpair");
        }
        near_.reset(pair[0]);
        far_.reset(pair[1]);
        echo_ = std::thread([this] {
            std::string buffer(call_.size(), '\0');
            while (receiveExactly(far_.get(), buffer.data(), buffer.size()) &&
                   sendAll(far_.get(), reply_)) {
            }
        });
    }
    BarePingPong(const BarePingPong&) = delete;
    BarePingPong& operator=(const BarePingPong&) = delete;
    ~BarePingPong() {
        ::shutdown(near_.get(), SHUT_RDWR);
        echo_.join();
    }

    void roundTrip() {
        std::string buffer(reply_.size(), '\0');
        if (!sendAll(near_.get(), call_) ||
            !receiveExactly(near_.get(), buffer.data(), buffer.size())) {
            fail("ping-pong broke");
        }
    }

  private:
    std::string call_;
    std::string reply_;
    UniqueFd near_;
    UniqueFd far_;
    std::thread echo_;
};

// Alternates short rounds of both, so that load from elsewhere on the machine hits both
// alike; the median of the per-round ratios, and of each side's time per round trip.
struct Comparison {
    double measured = 0;
    double reference = 0;
    double ratio = 0;
};

Comparison compare(const std::function<void()>& measured, const std::function<void()>& reference,
                   int rounds, int iterations) {
    std::vector<double> measuredTimes;
    std::vector<double> referenceTimes;
    std::vector<double> ratios;
    const auto time = [&](const std::function<void()>& work) {
        const auto start = Clock::now();
        for (int index = 0; index < iterations; ++index) {
            work();
        }
        return secondsOf(Clock::now() - start) / iterations;
    };
    for (int round = 0; round < rounds; ++round) {
        referenceTimes.push_back(time(reference));
        measuredTimes.push_back(time(measured));
        ratios.push_back(measuredTimes.back() / referenceTimes.back());
    }
    return {median(measuredTimes), median(referenceTimes), median(ratios)};
}

HelperClient connectOrFail(const std::string& name) {
    auto client = HelperClient::connect(name);
    if (!client) {
        fail("not admitted (is this binary signed?): " + client.error().text());
    }
    return std::move(client).value();
}

// --- 3. admission of a 20 MiB program ---

std::string selfPath() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) {
        fail("readlink /proc/self/exe");
    }
    path.resize(static_cast<std::size_t>(length));
    return path;
}

// This program's code, padded with random bytes to clientSize (the loader ignores bytes
// after the ELF contents), signed or not.
void writeLargeClient(const std::string& destination, bool sign) {
    const UniqueFd self(::open(selfPath().c_str(), O_RDONLY | O_CLOEXEC));
    auto layout = locateSignatureBlock(self.get());
    if (!layout || !layout.value()) {
        fail("this binary is not signed; build it with the development identity");
    }
    std::string content(layout.value()->contentLength, '\0');
    if (::pread(self.get(), content.data(), content.size(), 0) !=
        static_cast<ssize_t>(content.size())) {
        fail("cannot read this binary");
    }
    std::mt19937_64 random(42);
    while (content.size() < clientSize) {
        content.push_back(static_cast<char>(random()));
    }
    const UniqueFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    if (!out || ::write(out.get(), content.data(), content.size()) !=
                    static_cast<ssize_t>(content.size())) {
        fail("cannot write " + destination);
    }
    if (sign) {
        auto identity = loadSigningIdentity(TAVELIN_DEVELOPMENT_IDENTITY_DIR "/leaf-key.pem",
                                            TAVELIN_DEVELOPMENT_IDENTITY_DIR "/leaf.pem");
        if (!identity) {
            fail(identity.error().message);
        }
        if (!signFileAtPath(destination, identity.value(), "de.morvane.Tavelin")) {
            fail("cannot sign " + destination);
        }
    }
}

void hashFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<unsigned char> buffer(std::size_t{1} << 20U);
    ssize_t count = 0;
    while ((count = ::read(fd.get(), buffer.data(), buffer.size())) > 0) {
        EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(count));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
}

// Starts `program --connect NAME` and answers the seconds it measured from its connect()
// to the HELLO, or a negative number when it was refused.
double clientAdmission(const std::string& program, const std::string& name) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> words = {program, "--connect", name};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int failed =
        ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    const UniqueFd reader(out[0]);
    if (failed != 0) {
        fail("cannot start " + program);
    }
    std::string text;
    char buffer[64];
    ssize_t count = 0;
    while ((count = ::read(reader.get(), buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return text.rfind("refused", 0) == 0 ? -1.0 : std::stod(text) / 1e6;
}

// --- 5. the same client admitted again and again ---

// The floor of an admission: a bare connect on a Unix socket that a thread accepts and
// closes at once; the client waits for that end of stream and closes too.
class BareAcceptor {
  public:
    BareAcceptor() {
        auto listening = listenOnAbstractName(name_);
        if (!listening) {
            fail("cannot listen on " + name_);
        }
        listening_ = std::move(listening).value();
        thread_ = std::thread([this] {
            for (;;) {
                const UniqueFd accepted(
                    ::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (!accepted && errno != EINTR && errno != ECONNABORTED) {
                    return;  // shut down
                }
            }
        });
    }
    BareAcceptor(const BareAcceptor&) = delete;
    BareAcceptor& operator=(const BareAcceptor&) = delete;
    ~BareAcceptor() {
        ::shutdown(listening_.get(), SHUT_RDWR);  // wakes accept4 with EINVAL
        thread_.join();
    }

    void connectAndClose() {
        auto connected = connectToAbstractName(name_);
        char byte = 0;
        if (!connected || ::read(connected.value().get(), &byte, 1) != 0) {
            fail("bare connect broke");
        }
    }

  private:
    std::string name_ = "de.morvane.Tavelin.bench.floor." + std::to_string(::getpid());
    UniqueFd listening_;
    std::thread thread_;
};

void measureRepeatedAdmissions(const std::string& name) {
    constexpr int admissions = 1000;
    static_cast<void>(connectOrFail(name));  // the first admission hashes this binary
    BareAcceptor floor;
    const Comparison repeated = compare([&] { static_cast<void>(connectOrFail(name)); },
                                        [&] { floor.connectAndClose(); }, 7, admissions);
    static_cast<void>(std::printf(
        "%-46s %10.2f ms vs %10.2f ms  ratio %6.2f  (%.0f us each; target <= 2x D-Bus "
        "connect+Hello)\n",
        "1,000 admissions of the same client / bare", repeated.measured * admissions * 1e3,
        repeated.reference * admissions * 1e3, repeated.ratio, repeated.measured * 1e6));
}

// --- 4. memory (the daemon's resident memory, from DaemonProcess) ---

void report(const char* what, double measured, double reference, double ratio, const char* target) {
    static_cast<void>(std::printf("%-46s %10.2f us vs %10.2f us  ratio %6.4f  (target %s)\n", what,
                                  measured * 1e6, reference * 1e6, ratio, target));
}

int run() {
    std::string whyNot;
    const auto daemon = e2e::DaemonProcess::start(
        "de.morvane.Tavelin.helper.bench." + std::to_string(::getpid()), whyNot);
    if (!daemon) {
        fail(whyNot);
    }
    const std::string& name = daemon->serviceName();

    HelperClient client = connectOrFail(name);
    BarePingPong versionFloor(*encodeCall({1, CallSelector::helperVersion, {}}),
                              *encodeReply({1, "0.0.1"}));
    const Comparison version = compare([&] { static_cast<void>(client.helperVersion()); },
                                       [&] { versionFloor.roundTrip(); }, 21, 2000);
    report("helperVersion round trip / bare ping-pong", version.measured, version.reference,
           version.ratio, "<= 1.5");

    const std::string answer = client.perform(emptyRemoval).value_or("");
    if (answer.find("0 Pfade entfernt") == std::string::npos) {
        fail("unexpected answer to the empty removal: " + answer);
    }
    BarePingPong performFloor(*encodeCall({1, CallSelector::perform, std::string(emptyRemoval)}),
                              *encodeReply({1, answer}));
    const Comparison perform = compare([&] { static_cast<void>(client.perform(emptyRemoval)); },
                                       [&] { performFloor.roundTrip(); }, 21, 1000);
    report("perform removing nothing / bare ping-pong", perform.measured, perform.reference,
           perform.ratio, "<= 3");

    char directory[] = "/tmp/tavelin-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        fail("mkdtemp");
    }
    const std::string signedClient = std::string(directory) + "/client-signed";
    const std::string unsignedClient = std::string(directory) + "/client-unsigned";
    writeLargeClient(signedClient, true);
    writeLargeClient(unsignedClient, false);
    std::vector<double> hashes;
    std::vector<double> admissions;
    std::vector<double> refusals;
    std::vector<double> admittedToHash;
    std::vector<double> refusedToAdmitted;
    for (int round = 0; round < 15; ++round) {
        // A new change time: a version of the file the daemon has not verified yet.
        if (::utimensat(AT_FDCWD, signedClient.c_str(), nullptr, 0) != 0) {
            fail("cannot touch " + signedClient);
        }
        const auto start = Clock::now();
        hashFile(signedClient);
        hashes.push_back(secondsOf(Clock::now() - start));
        admissions.push_back(clientAdmission(signedClient, name));
        refusals.push_back(clientAdmission(unsignedClient, name));
        if (admissions.back() < 0 || refusals.back() >= 0) {
            fail("the signed client was refused or the unsigned one admitted");
        }
        admittedToHash.push_back(admissions.back() / hashes.back());
    }
    report("20 MiB signed admission / SHA-256 of file", median(admissions), median(hashes),
           median(admittedToHash), "<= 1.15");
    static_cast<void>(std::printf("%-46s %s\n", "20 MiB unsigned refusal",
                                  "refused before any hash (connection closed at once)"));
    ::unlink(signedClient.c_str());
    ::unlink(unsignedClient.c_str());
    ::rmdir(directory);

    measureRepeatedAdmissions(name);

    constexpr int idleConnections = 2000;
    const long before = daemon->residentKiB();
    std::vector<HelperClient> idle;
    idle.reserve(idleConnections);
    for (int index = 0; index < idleConnections; ++index) {
        idle.push_back(connectOrFail(name));
    }
    static_cast<void>(idle.back().helperVersion());  // every admission has finished
    const long after = daemon->residentKiB();
    const double perConnection = static_cast<double>(after - before) * 1024 / idleConnections;
    static_cast<void>(std::printf("%-46s %10.0f bytes vs 4096 bytes  ratio %6.4f  (target <= 1)\n",
                                  "resident memory per idle admitted connection", perConnection,
                                  perConnection / 4096));
    static_cast<void>(std::printf("(times and ratios are medians over alternating rounds)\n"));
    return 0;
}

int connectAndReport(const char* name) {
    const auto start = Clock::now();
    auto client = HelperClient::connect(name);
    const double microseconds = secondsOf(Clock::now() - start) * 1e6;
    static_cast<void>(client ? std::printf("%.1f\n", microseconds) : std::printf("refused\n"));
    static_cast<void>(std::fflush(stdout));
    return 0;
}

}  // namespace
}  // namespace tavelin::bench

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--connect") {
        return tavelin::bench::connectAndReport(argv[2]);
    }
    return tavelin::bench::run();
}
