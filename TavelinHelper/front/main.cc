// tavelin-helper-front: the daemon's unprivileged front. Only the monitor starts it, with
//   descriptor 3  the listening socket (watched only: the monitor accepts),
//   descriptor 4  its end of the channel to the monitor,
//   descriptor 5  the trust anchor file (PEM), opened read-only by the monitor,
// and the arguments "--account UID GID" and "--root EMPTY_DIRECTORY" (used only when it
// starts as root); its environment holds JOURNAL_STREAM alone when stderr is the journal. It reads
// what it needs, confines itself and serves until the monitor's channel ends.

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinHelper/front/ClientAuthorization.h"
#include "TavelinHelper/front/FrontSandbox.h"
#include "TavelinHelper/front/FrontServer.h"
#include "TavelinHelper/front/HelperListenerDelegate.h"
#include "TavelinHelper/front/MonitorClient.h"
#include "TavelinHelper/front/MonitorLogSink.h"
#include "TavelinPlatform/core/AddressSpace.h"
#include "TavelinPlatform/core/JournalStream.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/identity/PemFiles.h"
#include "TavelinPlatform/identity/TrustAnchor.h"
#include "TavelinPlatform/ipc/SenderPidfd.h"

#ifdef TAVELIN_SANITIZER_BUILD
// The leak checker stops the world through ptrace and reads /proc, neither of which the
// confined front has. Its code's leaks are checked where the tests run it unconfined.
extern "C" const char* __lsan_default_options() {
    return "detect_leaks=0";
}
#endif

namespace {

using namespace tavelin;

constexpr int listeningDescriptor = 3;
constexpr int channelDescriptor = 4;
constexpr int anchorDescriptor = 5;
constexpr int executableDescriptor = 6;

int startFailure(LogSink& log, const std::string& what) {
    log.log(LogPriority::error, "[TavelinHelper] Start fehlgeschlagen: Front: " + what);
    return 1;
}

struct FrontArguments {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string root;
};

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::optional<FrontArguments> parseArguments(const std::vector<std::string_view>& words) {
    FrontArguments arguments;
    if (words.size() != 5 || words[0] != "--account" || words[3] != "--root" ||
        !parseNumber(words[1], arguments.uid) || !parseNumber(words[2], arguments.gid)) {
        return std::nullopt;
    }
    arguments.root = std::string(words[4]);
    return arguments;
}

// Read from the start whatever the shared file offset says: every front started from the
// same descriptor reads the same text.
Expected<std::string, SystemError> readAnchorText(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = retryOnInterrupt(
            [&] { return ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size())); });
        if (count < 0) {
            return lastSystemError("read", "trust anchor");
        }
        if (count == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(count));
        if (text.size() > maximumPemFileSize) {
            return systemError(EFBIG, "trust anchor");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::close(executableDescriptor);  // what the monitor started us through
    reserveModestAddressSpace();
    const char* journalStream = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
    const bool journal = journalStream != nullptr && stderrIsJournalStream(journalStream);
    StderrLogSink log(journal);
    const std::vector<std::string_view> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto arguments = parseArguments(words);
    if (!arguments) {
        return startFailure(log, "usage: tavelin-helper-front --account UID GID --root DIR");
    }
    for (const int fd : {listeningDescriptor, channelDescriptor, anchorDescriptor}) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            return startFailure(log, "descriptor " + std::to_string(fd) + " missing");
        }
    }
    UniqueFd listening(listeningDescriptor);
    UniqueFd channel(channelDescriptor);
    const UniqueFd anchorFile(anchorDescriptor);
    auto anchorText = readAnchorText(anchorFile.get());
    if (!anchorText) {
        return startFailure(log, anchorText.error().describe());
    }
    auto anchor = TrustAnchor::fromPemText(*anchorText, "trust anchor");
    if (!anchor) {
        return startFailure(log, anchor.error().message);
    }
    auto requirement = parseClientCodeRequirement();
    if (!requirement) {
        return startFailure(log, "Code-Requirement: " + requirement.error().message);
    }
    // Tried while sockets can still be made: the sandbox allows none.
    const auto senders = senderIdentificationOfKernel();
    if (!senders) {
        return startFailure(log, senders.error().describe());
    }
    if (auto confined = enterSandbox(frontSandbox(arguments->root, arguments->uid, arguments->gid));
        !confined) {
        return startFailure(log, confined.error().describe());
    }

    MonitorClient monitor(std::move(channel));
    MonitorLogSink forwarding(log, monitor);
    HelperListenerDelegate delegate(journal ? static_cast<LogSink&>(forwarding) : log, monitor,
                                    *anchor, *requirement);
    FrontServer server(std::move(listening), monitor, delegate, FrontLimits{}, *senders);
    if (auto served = server.run(); !served) {
        log.log(LogPriority::error, "[TavelinHelper] Front beendet: " + served.error().describe());
        return 1;
    }
    return 0;
}
