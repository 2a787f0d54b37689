// roundtrip_bench: what the transport and admission cost, as ratios to their floors.
//
//   1. helperVersion round trip over an admitted connection (the daemon's listener,
//      delegate and service in this process, this signed binary as the client) against a
//      bare ping-pong of the same frame sizes over a socketpair. Target: at most 2x.
//   2. Admission of a 20 MiB signed client against hashing the same file with SHA-256
//      here. Reading and hashing the file is the floor. Target: at most 1.3x.
//   3. Refusal of the same 20 MiB program unsigned, against the signed admission.
//      Target: under 0.1x.
//
// Run from the build tree (it signs its 20 MiB client with the development identity).
// Invoked as "roundtrip_bench --connect NAME" it is that client: it connects and waits.
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "CapturingLogSink.h"
#include "ClientAuthorization.h"
#include "ClientFileSystem.h"
#include "CodeSigner.h"
#include "Frame.h"
#include "HelperListenerDelegate.h"
#include "Listener.h"
#include "LogSink.h"
#include "PeerProcess.h"
#include "PlatformTrustAnchor.h"
#include "SignatureBlock.h"
#include "TavelinClient/HelperClient.h"
#include "UnixSocket.h"
#include "UpdateInstallation.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t clientSize = std::size_t{20} * 1024 * 1024;

double secondsOf(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// The median of `repeats` timings of `work`, in seconds.
double medianSeconds(int repeats, const std::function<void()>& work) {
    std::vector<double> samples;
    for (int run = 0; run < repeats; ++run) {
        const auto start = Clock::now();
        work();
        samples.push_back(secondsOf(Clock::now() - start));
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void fail(const std::string& what) {
    static_cast<void>(std::fprintf(stderr, "roundtrip_bench: %s\n", what.c_str()));
    std::exit(2);
}

bool sendExactly(int fd, const std::string& bytes) {
    return sendAll(fd, bytes).has_value();
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

// --- 1. round trips ---

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
                   sendExactly(far_.get(), reply_)) {
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
        if (!sendExactly(near_.get(), call_) ||
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

// The client code requirement, parsed once as the daemon does at start-up.
const Requirement& clientRequirement() {
    static const Requirement requirement = [] {
        auto parsed = parseClientCodeRequirement();
        if (!parsed) {
            fail("the client code requirement does not parse");
        }
        return std::move(parsed).value();
    }();
    return requirement;
}

// The daemon's listener, admission delegate and service in this process, and one
// admitted client connection to it.
class AdmittedConnection {
  public:
    explicit AdmittedConnection(const TrustAnchor& anchor)
        : fileSystem_(openRoot()),
          delegate_(log_, fileSystem_, anchor, clientRequirement(), updates_),
          name_("de.morvane.Tavelin.helper.bench." + std::to_string(::getpid())),
          listener_(listeningSocket(name_), delegate_),
          runner_([this] { listener_.run(); }),
          client_(HelperClient::connect(name_)) {
        if (!client_) {
            fail("not admitted (is this binary signed?): " + client_.error().text());
        }
    }
    AdmittedConnection(const AdmittedConnection&) = delete;
    AdmittedConnection& operator=(const AdmittedConnection&) = delete;
    ~AdmittedConnection() {
        client_ = Unexpected(ClientError{});  // closes the connection
        listener_.stop();
        runner_.join();
    }

    void roundTrip() {
        if (!client_.value().helperVersion()) {
            fail("helperVersion failed");
        }
    }

  private:
    static ClientFileSystem openRoot() {
        auto fileSystem = ClientFileSystem::open("/");
        if (!fileSystem) {
            fail("cannot open /");
        }
        return std::move(fileSystem.value());
    }
    static UniqueFd listeningSocket(const std::string& name) {
        auto socket = listenOnAbstractName(name);
        if (!socket) {
            fail("cannot listen on " + name);
        }
        return std::move(socket).value();
    }

    CapturingLogSink log_;
    ClientFileSystem fileSystem_;
    UpdateInstaller updates_;
    HelperListenerDelegate delegate_;
    std::string name_;
    Listener listener_;
    std::thread runner_;
    Expected<HelperClient, ClientError> client_;
};

struct RoundTrips {
    double helper = 0;  // seconds per round trip, median over the rounds
    double bare = 0;
    double ratio = 0;  // median of the per-round ratios
};

// Alternates short rounds of both, so that load from elsewhere on the machine hits both
// alike, and takes medians.
RoundTrips measureRoundTrips(const TrustAnchor& anchor) {
    constexpr int rounds = 21;
    constexpr int iterations = 4000;
    BarePingPong bare(*encodeCall({1, CallSelector::helperVersion, {}}),
                      *encodeReply({1, "0.0.1"}));
    AdmittedConnection helper(anchor);
    std::vector<double> bareTimes;
    std::vector<double> helperTimes;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        bareTimes.push_back(medianSeconds(1,
                                          [&] {
                                              for (int index = 0; index < iterations; ++index) {
                                                  bare.roundTrip();
                                              }
                                          }) /
                            iterations);
        helperTimes.push_back(medianSeconds(1,
                                            [&] {
                                                for (int index = 0; index < iterations; ++index) {
                                                    helper.roundTrip();
                                                }
                                            }) /
                              iterations);
        ratios.push_back(helperTimes.back() / bareTimes.back());
    }
    return {median(helperTimes), median(bareTimes), median(ratios)};
}

// --- 2. and 3. admission of a 20 MiB program ---

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
        auto identity = loadSigningIdentity(TAVELIN_DEVELOPMENT_LEAF_KEY, TAVELIN_DEVELOPMENT_LEAF);
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

// `program --connect NAME`, started and connected to us: a live peer whose admission
// can be checked again and again. Each check reads, verifies and hashes anew (nothing
// is cached).
class LivePeer {
  public:
    explicit LivePeer(const std::string& program) {
        const std::string name = "de.morvane.Tavelin.helper.bench.admission." +
                                 std::to_string(::getpid()) + "." + std::to_string(counter_++);
        auto socket = listenOnAbstractName(name);
        if (!socket) {
            fail("cannot listen on " + name);
        }
        std::string programCopy = program;
        std::string flag = "--connect";
        std::string nameCopy = name;
        char* argv[] = {programCopy.data(), flag.data(), nameCopy.data(), nullptr};
        if (::posix_spawn(&child_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            fail("cannot start " + program);
        }
        auto accepted = acceptConnection(socket->get());
        if (!accepted) {
            fail("accept");
        }
        connection_ = std::move(accepted).value();
        peer_ = peerProcessOfSocket(connection_.get());
        if (!peer_) {
            fail("no peer record for " + program);
        }
    }
    LivePeer(const LivePeer&) = delete;
    LivePeer& operator=(const LivePeer&) = delete;
    ~LivePeer() {
        ::shutdown(connection_.get(), SHUT_RDWR);  // the client sees end of stream and exits
        int status = 0;
        ::waitpid(child_, &status, 0);
    }

    [[nodiscard]] bool admitted(const TrustAnchor& anchor) {
        LocalPeerInspector inspector(*peer_);
        return isClientAuthorized(&inspector, clientRequirement(), anchor, log_);
    }

  private:
    static inline int counter_ = 0;
    pid_t child_ = 0;
    UniqueFd connection_;
    std::optional<PeerProcess> peer_;
    CapturingLogSink log_;
};

struct Admissions {
    double hash = 0;  // seconds, medians over the rounds
    double admitted = 0;
    double refused = 0;
    double admittedToHash = 0;  // medians of the per-round ratios
    double refusedToAdmitted = 0;
};

// Alternates hashing, admitting the signed peer and refusing the unsigned one, round by
// round, so that load from elsewhere hits all three alike.
Admissions measureAdmissions(const std::string& signedClient, const std::string& unsignedClient,
                             const TrustAnchor& anchor) {
    constexpr int rounds = 15;
    LivePeer signedPeer(signedClient);
    LivePeer unsignedPeer(unsignedClient);
    std::vector<double> hashes;
    std::vector<double> admissions;
    std::vector<double> refusals;
    std::vector<double> admittedToHash;
    std::vector<double> refusedToAdmitted;
    for (int round = 0; round < rounds; ++round) {
        hashes.push_back(medianSeconds(1, [&] { hashFile(signedClient); }));
        admissions.push_back(medianSeconds(1, [&] {
            if (!signedPeer.admitted(anchor)) {
                fail("the signed client was refused");
            }
        }));
        refusals.push_back(medianSeconds(1, [&] {
            if (unsignedPeer.admitted(anchor)) {
                fail("the unsigned client was admitted");
            }
        }));
        admittedToHash.push_back(admissions.back() / hashes.back());
        refusedToAdmitted.push_back(refusals.back() / admissions.back());
    }
    return {median(hashes), median(admissions), median(refusals), median(admittedToHash),
            median(refusedToAdmitted)};
}

int connectAndWait(const char* name) {
    auto connected = connectToAbstractName(name);
    if (!connected) {
        return 1;
    }
    char byte = 0;
    while (::read(connected->get(), &byte, 1) > 0) {
    }
    return 0;
}

void report(const char* what, double measured, double reference, double ratio, const char* target) {
    static_cast<void>(std::printf("%-44s %10.2f us vs %10.2f us  ratio %6.4f  (target %s)\n", what,
                                  measured * 1e6, reference * 1e6, ratio, target));
}

int run() {
    auto anchor = loadPlatformTrustAnchor();
    if (!anchor) {
        fail("trust anchor: " + anchor.error().message);
    }
    const RoundTrips trips = measureRoundTrips(anchor.value());
    report("helperVersion round trip / bare ping-pong", trips.helper, trips.bare, trips.ratio,
           "<= 2");

    char directory[] = "/tmp/tavelin-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        fail("mkdtemp");
    }
    const std::string signedClient = std::string(directory) + "/client-signed";
    const std::string unsignedClient = std::string(directory) + "/client-unsigned";
    writeLargeClient(signedClient, true);
    writeLargeClient(unsignedClient, false);
    const Admissions admissions = measureAdmissions(signedClient, unsignedClient, anchor.value());
    report("20 MiB signed admission / SHA-256 of file", admissions.admitted, admissions.hash,
           admissions.admittedToHash, "<= 1.3");
    report("20 MiB unsigned refusal / signed admission", admissions.refused, admissions.admitted,
           admissions.refusedToAdmitted, "< 0.1");
    static_cast<void>(std::printf("(times and ratios are medians over alternating rounds)\n"));
    ::unlink(signedClient.c_str());
    ::unlink(unsignedClient.c_str());
    ::rmdir(directory);
    return 0;
}

}  // namespace
}  // namespace tavelin::bench

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--connect") {
        return tavelin::bench::connectAndWait(argv[2]);
    }
    return tavelin::bench::run();
}
