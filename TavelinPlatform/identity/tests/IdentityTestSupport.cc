#include "IdentityTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

namespace tavelin::testing {

namespace {

std::string uniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(random());
}

sockaddr_un abstractAddress(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

}  // namespace

ScratchDirectory::ScratchDirectory()
    : path_(std::filesystem::temp_directory_path() / ("tavelin-identity-" + uniqueSuffix())) {
    std::filesystem::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SigningIdentity TestIdentity::signingIdentity() const {
    SigningIdentity identity{shareCertificate(leaf.certificate.get()), nullptr, {}};
    EVP_PKEY_up_ref(leaf.key.get());
    identity.key.reset(leaf.key.get());
    if (intermediate) {
        identity.chain.push_back(shareCertificate(intermediate->certificate.get()));
    }
    return identity;
}

TrustAnchor TestIdentity::trustAnchor() const {
    return TrustAnchor::fromCertificate(shareCertificate(anchor.certificate.get()));
}

CertificateRequest leafRequest(const std::string& organizationalUnit) {
    CertificateRequest request;
    request.commonName = "Tavelin Test Signing";
    request.organization = "Tavelin Test";
    request.organizationalUnit = organizationalUnit;
    request.notAfterOffset = 365L * 24 * 3600;
    return request;
}

TestIdentity makeIdentity(const CertificateRequest& leaf, bool withIntermediate) {
    CertificateRequest request;
    request.commonName = "Tavelin Test Anchor";
    request.organization = "Tavelin Test";
    auto anchor = createAnchor(request);
    EXPECT_TRUE(anchor.ok()) << anchor.error().message;
    TestIdentity identity{std::move(anchor).value(), std::nullopt, {}};
    const CertifiedKey* issuer = &identity.anchor;
    if (withIntermediate) {
        request.commonName = "Tavelin Test Intermediate";
        request.certificateAuthority = true;
        auto intermediate = issueCertificate(identity.anchor, request);
        EXPECT_TRUE(intermediate.ok()) << intermediate.error().message;
        identity.intermediate = std::move(intermediate).value();
        issuer = &*identity.intermediate;
    }
    auto issued = issueCertificate(*issuer, leaf);
    EXPECT_TRUE(issued.ok()) << issued.error().message;
    identity.leaf = std::move(issued).value();
    return identity;
}

TestIdentity makeSiblingIdentity(const TestIdentity& base, const CertificateRequest& leaf) {
    EVP_PKEY_up_ref(base.anchor.key.get());
    CertifiedKey anchor{shareCertificate(base.anchor.certificate.get()), EvpPkeyPtr(base.anchor.key.get())};
    auto issued = issueCertificate(anchor, leaf);
    EXPECT_TRUE(issued.ok()) << issued.error().message;
    return TestIdentity{std::move(anchor), std::nullopt, std::move(issued).value()};
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
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
    ASSERT_TRUE(signedLayout.ok()) << signedLayout.error().message;
}

AbstractListener::AbstractListener() : name_("tavelin-identity-test-" + uniqueSuffix()) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = 0;
    const sockaddr_un address = abstractAddress(name_, length);
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), length), 0)
        << std::strerror(errno);
    EXPECT_EQ(::listen(fd_.get(), 8), 0) << std::strerror(errno);
}

UniqueFd AbstractListener::accept() const {
    int fd = -1;
    do {
        fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    return UniqueFd(fd);
}

PeerChild::PeerChild(const std::filesystem::path& executable, const AbstractListener& listener,
                     bool traceMe) {
    const std::string program = executable.string();
    const std::string& name = listener.name();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (traceMe && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            ::_exit(126);
        }
        char* const arguments[] = {const_cast<char*>(program.c_str()),
                                   const_cast<char*>(name.c_str()), nullptr};
        ::execv(program.c_str(), arguments);
        ::_exit(127);
    }
    EXPECT_GT(pid_, 0) << std::strerror(errno);
}

PeerChild::~PeerChild() { stop(); }

void PeerChild::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

ConnectedPeer connectPeer(const std::filesystem::path& executable, const AbstractListener& listener,
                          bool traceMe) {
    ConnectedPeer connected;
    connected.child = std::make_unique<PeerChild>(executable, listener, traceMe);
    if (traceMe) {
        // A child started under PTRACE_TRACEME stops at exec; let it run on, still traced.
        int status = 0;
        EXPECT_EQ(::waitpid(connected.child->pid(), &status, 0), connected.child->pid());
        EXPECT_TRUE(WIFSTOPPED(status));
        EXPECT_EQ(::ptrace(PTRACE_CONT, connected.child->pid(), nullptr, nullptr), 0);
    }
    connected.connection = listener.accept();
    connected.peer = peerProcessOfSocket(connected.connection.get());
    return connected;
}

}  // namespace tavelin::testing
