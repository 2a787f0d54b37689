#include "bench/LargeClient.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <vector>

#include "TavelinClient/HelperClient.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/identity/SignatureBlock.h"
#include "TavelinPlatform/signing/CodeSigner.h"
#include "bench/Comparison.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::bench {

namespace {

std::string selfPath() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) {
        fail("readlink /proc/self/exe");
    }
    path.resize(static_cast<std::size_t>(length));
    return path;
}

}  // namespace

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
    while (content.size() < largeClientSize) {
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
    argv.reserve(words.size() + 1);
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

int connectAndReport(const char* name) {
    const auto start = Clock::now();
    auto client = HelperClient::connect(name);
    const double microseconds = secondsOf(Clock::now() - start) * 1e6;
    static_cast<void>(client ? std::printf("%.1f\n", microseconds) : std::printf("refused\n"));
    static_cast<void>(std::fflush(stdout));
    return 0;
}

}  // namespace tavelin::bench
