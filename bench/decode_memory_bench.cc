// decode_memory_bench: the memory one request costs the decoder, against its own size.
//
// For each document, in a forked child of its own (so that no case inherits another's
// heap): builds the document, resets the kernel's peak-RSS mark (clear_refs), decodes it
// once and reports the peak RSS growth during the decode and the growth left afterwards
// (the decoded value, or the error, plus what the allocator keeps of freed memory), each as
// a ratio to the document's bytes (the reference). The
// documents are the largest a client can send (the transport caps a request at 1 MiB) and
// the hostile shapes that make the reader hold the most.
//
//   decode_memory_bench
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin::bench {
namespace {

// The transport's largest request argument.
constexpr std::size_t requestBytes = std::size_t{1024} * 1024;

struct Case {
    const char* name;
    std::function<std::string()> document;
};

std::string repeatedUpTo(std::string_view head, std::string_view piece, std::string_view tail,
                         std::size_t count) {
    std::string out(head);
    for (std::size_t index = 0;
         index < count && out.size() + piece.size() + tail.size() <= requestBytes; ++index) {
        out += piece;
    }
    if (out.back() == ',') {
        out.pop_back();
    }
    return out + std::string(tail);
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long statusKib(std::string_view field) {
    std::array<char, 4096> text{};
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const ssize_t length = fd < 0 ? -1 : read(fd, text.data(), text.size() - 1);
    if (fd >= 0) {
        close(fd);
    }
    const std::string_view status(text.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::size_t at = status.find(std::string(field) + ":");
    return at == std::string_view::npos
               ? -1
               : std::strtol(status.data() + at + field.size() + 1, nullptr, 10);
}

bool resetPeak() {
    const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    const bool reset = fd >= 0 && write(fd, "5", 1) == 1;
    if (fd >= 0) {
        close(fd);
    }
    return reset;
}

// The child's part: one decode of `document`, measured.
void measure(const Case& c) {
    const std::string document = c.document();
    const long before = statusKib("VmRSS");
    if (!resetPeak()) {
        std::printf("%-44s cannot reset the peak RSS mark\n", c.name);
        return;
    }
    const auto decoded = PrivilegedOperation::decode(document);
    const long peak = statusKib("VmHWM") - before;
    const long after = statusKib("VmRSS") - before;
    const double inputKib = static_cast<double>(document.size()) / 1024;
    std::string outcome = "decoded";
    if (!decoded) {
        outcome = std::string(kindName(decoded.error().kind));
    } else if (const auto* removal =
                   std::get_if<PrivilegedOperation::RemoveSystemPaths>(&decoded->payload())) {
        outcome = std::to_string(removal->paths.size()) + " paths";
    }
    std::printf("%-44s %7.0f KiB in  peak +%6ld KiB = %5.2fx  after +%6ld KiB = %5.2fx  (%s)\n",
                c.name, inputKib, peak, static_cast<double>(peak) / inputKib, after,
                static_cast<double>(after) / inputKib, outcome.c_str());
}

}  // namespace
}  // namespace tavelin::bench

int main() {
    using tavelin::PrivilegedOperation;
    using tavelin::bench::Case;
    using tavelin::bench::repeatedUpTo;
    using tavelin::bench::requestBytes;
    constexpr std::size_t most = PrivilegedOperation::maxRemovalPaths;
    const std::string path100 = '"' + std::string(100, 'a') + "\",";
    const std::vector<Case> cases = {
        {"10,000 paths of 100 bytes",
         [&] { return repeatedUpTo(R"({"removeSystemPaths":{"_0":[)", path100, "]}}", most); }},
        {"one path of 1 MiB",
         [] {
             return R"({"repairPermissions":{"path":")" + std::string(requestBytes - 40, 'a') +
                    "\"}}";
         }},
        {"10,000 empty paths",
         [] { return repeatedUpTo(R"({"removeSystemPaths":{"_0":[)", R"("",)", "]}}", most); }},
        {"1 MiB of empty paths (refused at 10,001)",
         [] {
             return repeatedUpTo(R"({"removeSystemPaths":{"_0":[)", R"("",)", "]}}", requestBytes);
         }},
        {"1 MiB of distinct names in the request",
         [] {
             std::string out = R"({"installSystemUpdates":{})";
             for (std::size_t index = 0; out.size() + 16 < requestBytes; ++index) {
                 out += ",\"" + std::to_string(index) + "\":0";
             }
             return out + "}";
         }},
        {"1 MiB of numbers beyond a double (ignored)",
         [] {
             return repeatedUpTo(R"({"installSystemUpdates":{},"x":[)", "1e999,", "]}",
                                 requestBytes);
         }},
        {"1 MiB deep nesting (ignored)",
         [] {
             const std::size_t depth = (requestBytes - 40) / 2;
             return R"({"installSystemUpdates":{},"x":)" + std::string(depth, '[') +
                    std::string(depth, ']') + "}";
         }},
    };
    std::printf("decode_memory_bench: reference = the document's bytes\n");
    for (const Case& c : cases) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            tavelin::bench::measure(c);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            static_cast<void>(std::fprintf(stderr, "decode_memory_bench: %s failed\n", c.name));
            return 1;
        }
    }
    return 0;
}
