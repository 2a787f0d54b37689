#include "TavelinPlatform/identity/tests/IdentityTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace tavelin::testing {

ScratchDirectory::ScratchDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tavelin-identity-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    path_ = pattern;
}

SigningIdentity TestIdentity::signingIdentity() const {
    EVP_PKEY_up_ref(leaf.key.get());
    SigningIdentity identity{
        shareCertificate(leaf.certificate.get()), EvpPkeyPtr(leaf.key.get()), {}};
    if (intermediate) {
        identity.chain.push_back(shareCertificate(intermediate->certificate.get()));
    }
    return identity;
}

TrustAnchor TestIdentity::trustAnchor() const {
    return TrustAnchor::fromCertificate(shareCertificate(anchor.certificate.get()));
}

CertificateRequest leafRequest(const std::string& organizationalUnit) {
    return CertificateRequest{"Tavelin Test Signing", "Tavelin Test", organizationalUnit};
}

CertificateRequest intermediateRequest() {
    CertificateRequest request{"Tavelin Test Intermediate", "Tavelin Test", ""};
    request.certificateAuthority = true;
    return request;
}

namespace {

CertifiedKey issueOrFail(const CertifiedKey& issuer, const CertificateRequest& request) {
    auto issued = issueCertificate(issuer, request);
    EXPECT_TRUE(issued.has_value()) << issued.error().message;
    return std::move(issued).value();
}

}  // namespace

TestIdentity makeIdentity(const CertificateRequest& leaf, bool withIntermediate) {
    auto anchor = createAnchor({"Tavelin Test Anchor", "Tavelin Test", ""});
    EXPECT_TRUE(anchor.has_value()) << anchor.error().message;
    const TestIdentity root{std::move(anchor).value(), std::nullopt, {}};
    return makeSiblingIdentity(
        root, leaf, withIntermediate ? std::optional(intermediateRequest()) : std::nullopt);
}

TestIdentity makeSiblingIdentity(const TestIdentity& base, const CertificateRequest& leaf,
                                 const std::optional<CertificateRequest>& intermediate) {
    EVP_PKEY_up_ref(base.anchor.key.get());
    TestIdentity identity{
        {shareCertificate(base.anchor.certificate.get()), EvpPkeyPtr(base.anchor.key.get())},
        std::nullopt,
        {}};
    if (intermediate) {
        identity.intermediate = issueOrFail(identity.anchor, *intermediate);
    }
    identity.leaf = issueOrFail(intermediate ? *identity.intermediate : identity.anchor, leaf);
    return identity;
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

void copyTestPeer(const std::filesystem::path& target) {
    std::filesystem::copy_file(TAVELIN_TEST_PEER, target,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_all);
}

std::size_t patchAreaOffset(const std::vector<std::uint8_t>& bytes) {
    constexpr std::string_view marker = "TAVELIN-TEST-PEER-PATCH-AREA";
    const auto found = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    EXPECT_NE(found, bytes.end()) << "patch area not found in the test peer";
    return static_cast<std::size_t>(found - bytes.begin()) + 8;  // past "TAVELIN-"
}

void signOrFail(const std::filesystem::path& file, const TestIdentity& identity,
                const std::string& identifier) {
    auto signedLayout = signFileAtPath(file, identity.signingIdentity(), identifier);
    ASSERT_TRUE(signedLayout.has_value()) << signedLayout.error().message;
}

namespace {

// Waits (up to ten seconds) until the process sleeps, as the test peer does in its read
// of standard input from its start on. The end of the exec pipe comes earlier: the kernel
// closes close-on-exec descriptors before it maps the new program, and a look at the peer
// in between finds an executable whose code is not mapped yet.
void awaitSleeping(pid_t pid) {
    const std::string statPath = "/proc/" + std::to_string(pid) + "/stat";
    for (int tries = 0; tries < 10000; ++tries) {
        std::ifstream stat(statPath);
        const std::string text{std::istreambuf_iterator<char>(stat), {}};
        const std::size_t afterName = text.rfind(") ");
        if (afterName == std::string::npos) {
            return;  // gone: the test finds out itself
        }
        const char state = text[afterName + 2];
        if (state == 'S' || state == 'Z' || state == 'X') {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

ConnectedPeer::ConnectedPeer(const std::filesystem::path& executable,
                             const std::vector<std::string>& execOnRequest) {
    // Binding to an empty address gives the listener a fresh abstract name.
    const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{AF_UNIX, {}};
    socklen_t length = sizeof address;
    auto* const socketAddress = reinterpret_cast<sockaddr*>(&address);
    int execPipe[2] = {-1, -1};
    int requestPipe[2] = {-1, -1};
    EXPECT_TRUE(::bind(listener.get(), socketAddress, sizeof address.sun_family) == 0 &&
                ::listen(listener.get(), 1) == 0 &&
                ::getsockname(listener.get(), socketAddress, &length) == 0 &&
                ::pipe2(execPipe, O_CLOEXEC) == 0 && ::pipe2(requestPipe, O_CLOEXEC) == 0)
        << std::strerror(errno);
    std::vector<std::string> words{executable.string()};
    words.insert(words.end(), execOnRequest.begin(), execOnRequest.end());
    std::vector<char*> arguments;
    for (auto& word : words) {
        arguments.push_back(word.data());
    }
    arguments.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec. The connection stays open
        // across the exec, so its peer is the program at `executable`; so does standard
        // input, where the peer waits for a request to exec.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd >= 0 && ::connect(fd, socketAddress, length) == 0 &&
            ::dup2(requestPipe[0], STDIN_FILENO) == STDIN_FILENO) {
            ::execv(arguments[0], arguments.data());
        }
        ::_exit(127);
    }
    EXPECT_GT(pid_, 0) << std::strerror(errno);
    ::close(execPipe[1]);
    ::close(requestPipe[0]);
    execRequest_.reset(requestPipe[1]);
    execProgram_ = execOnRequest.empty() ? std::string() : execOnRequest.front();
    char byte = 0;
    while (::read(execPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }  // end of file once the child has exec'd or ended
    ::close(execPipe[0]);
    connection_.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(connection_.valid()) << std::strerror(errno);
    peer_ = peerProcessOfSocket(connection_.get());
    awaitSleeping(pid_);
}

void ConnectedPeer::execRequested() {
    ASSERT_FALSE(execProgram_.empty()) << "the peer was started without a program to exec";
    const char byte = 1;
    ASSERT_EQ(::write(execRequest_.get(), &byte, 1), 1) << std::strerror(errno);
    struct stat program {};
    ASSERT_EQ(::stat(execProgram_.c_str(), &program), 0) << execProgram_;
    const std::string running = "/proc/" + std::to_string(pid_) + "/exe";
    // The kernel switches the process's executable when the exec can no longer fail.
    struct stat now {};
    while (true) {
        ASSERT_EQ(::stat(running.c_str(), &now), 0) << "the peer ended instead of exec'ing";
        if (now.st_dev == program.st_dev && now.st_ino == program.st_ino) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ConnectedPeer::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

}  // namespace tavelin::testing
