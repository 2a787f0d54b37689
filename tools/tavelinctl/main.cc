// tavelinctl: the command-line client of the Tavelin helper daemon.
#include <unicode/utf8.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ByteCountText.h"
#include "CommandLine.h"
#include "ElapsedIndicator.h"
#include "TavelinClient/HelperClient.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"
#include "TerminalAgent.h"

namespace tavelin::tavelinctl {
namespace {

void writeOut(std::string_view bytes) {
    if (!bytes.empty()) {
        static_cast<void>(std::fwrite(bytes.data(), 1, bytes.size(), stdout));
    }
}

void complain(std::string_view text) {
    // Nothing sensible is left to do when stderr itself fails.
    static_cast<void>(
        std::fprintf(stderr, "tavelinctl: %.*s\n", static_cast<int>(text.size()), text.data()));
}

// The daemon's name, unless TAVELIN_SERVICE_NAME names another one (the end-to-end tests
// run their daemons under names of their own). Whatever the name, the daemon behind it
// must still run as root (isTrustedDaemonUser), so the variable cannot point the tool at
// an ordinary user's listener.
std::string serviceName() {
    const char* name = std::getenv("TAVELIN_SERVICE_NAME");
    return name != nullptr && *name != '\0' ? std::string(name)
                                            : std::string(PrivilegedHelperInfo::machServiceName);
}

// Connects and runs one call; the indicator covers both, since admission of this very
// program (the daemon hashes it) is part of the wait.
// `quiet`: no indicator, since something else (the terminal agent) may be writing there.
template <typename Call>
Expected<std::string, ClientError> callDaemon(Call call, bool quiet = false) {
    const ElapsedIndicator indicator(STDERR_FILENO, !quiet && ::isatty(STDERR_FILENO) == 1);
    Expected<HelperClient, ClientError> client = HelperClient::connect(serviceName());
    if (!client) {
        return Unexpected(client.error());
    }
    return call(client.value());
}

// The request for a task command, or for perform the argument as it is.
Expected<std::string, EncodingError> requestFor(const Command& command) {
    switch (command.kind) {
        case Command::Kind::remove:
            return PrivilegedOperation::removeSystemPaths(command.arguments).encode();
        case Command::Kind::repair:
            return PrivilegedOperation::repairPermissions(command.arguments.front()).encode();
        case Command::Kind::update:
            return PrivilegedOperation::installSystemUpdates().encode();
        default:
            return command.arguments.empty() ? std::string() : command.arguments.front();
    }
}

// The path argument an encoding error is about: the removal path whose index ends the
// error's coding path ("Index <n>"), or the one path of repair.
const std::string& offendingPath(const Command& command, const EncodingError& error) {
    constexpr std::string_view indexPrefix = "Index ";
    const std::string_view step =
        error.codingPath.empty() ? std::string_view() : std::string_view(error.codingPath.back());
    std::size_t index = 0;
    if (command.kind == Command::Kind::remove && step.starts_with(indexPrefix)) {
        const std::string_view digits = step.substr(indexPrefix.size());
        const auto [end, failure] =
            std::from_chars(digits.data(), digits.data() + digits.size(), index);
        if (failure != std::errc() || end != digits.data() + digits.size() ||
            index >= command.arguments.size()) {
            index = 0;
        }
    }
    return command.arguments.at(index);
}

// `text` quoted for a terminal: well-formed UTF-8 stays as it is; each byte of an
// ill-formed sequence and each ASCII control character is shown as \xHH, and '"' and '\\'
// are escaped, so the user sees exactly which bytes are at fault.
std::string shownForTerminal(std::string_view text) {
    static constexpr std::string_view hexDigits = "0123456789ABCDEF";
    std::string shown = "\"";
    const auto appendByte = [&shown](unsigned char byte) {
        shown += "\\x";
        shown += hexDigits[byte >> 4U];
        shown += hexDigits[byte & 0x0FU];
    };
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::size_t start = offset;
        UChar32 codePoint = 0;
        U8_NEXT(bytes, offset, text.size(), codePoint);
        if (codePoint < 0) {
            for (std::size_t at = start; at < offset; ++at) {
                appendByte(bytes[at]);
            }
        } else if (codePoint < 0x20 || codePoint == 0x7F) {
            appendByte(static_cast<unsigned char>(codePoint));
        } else {
            if (codePoint == '"' || codePoint == '\\') {
                shown += '\\';
            }
            shown.append(text, start, offset - start);
        }
    }
    shown += '"';
    return shown;
}

int runVersion() {
    const Expected<std::string, ClientError> version =
        callDaemon([](HelperClient& client) { return client.helperVersion(); });
    if (!version) {
        complain(version.error().text());
        return exitNoAnswer;
    }
    writeOut(version.value() + "\n");
    return exitSuccess;
}

int runPerform(const Command& command) {
    // Built before any connection: a path that no request can carry is refused without a
    // word to the daemon. Sending it in another spelling would name another file.
    const Expected<std::string, EncodingError> request = requestFor(command);
    if (!request) {
        complain("the path " + shownForTerminal(offendingPath(command, request.error())) +
                 " is not valid UTF-8, and a request can carry only UTF-8 text; nothing was sent");
        return exitUsage;
    }
    // The daemon may ask the system's policy, which may ask the user for a password.
    const TerminalAgent agent;
    const Expected<std::string, ClientError> answer =
        callDaemon([&request](HelperClient& client) { return client.perform(request.value()); },
                   agent.running());
    if (!answer) {
        complain(answer.error().text());
        return exitNoAnswer;
    }
    if (command.kind == Command::Kind::perform) {
        writeOut(answer.value() + "\n");  // the bytes exactly as received
        return exitSuccess;
    }
    const Expected<PrivilegedResult, DecodingError> result =
        PrivilegedResult::decode(answer.value());
    if (!result) {
        complain("the helper's answer is not a result (" + result.error().description + ")");
        return exitNoAnswer;
    }
    if (!result.value().success() && result.value().message() == notAuthorizedMessage) {
        complain(
            "not authorised: the system's policy (polkit) does not let this user have "
            "that done; nothing was changed (" +
            result.value().message() + ")");
        return exitOperationFailed;
    }
    std::string line = result.value().message();
    if (command.kind == Command::Kind::remove) {
        line += " (" + humanByteCount(result.value().freedBytes()) + " freigegeben)";
    }
    writeOut(line + "\n");
    return result.value().success() ? exitSuccess : exitOperationFailed;
}

int run(const std::vector<std::string>& words) {
    const std::optional<Command> command = parseCommandLine(words);
    if (!command) {
        const std::string usage = usageText("tavelinctl");
        static_cast<void>(std::fputs(usage.c_str(), stderr));
        return exitUsage;
    }
    switch (command->kind) {
        case Command::Kind::help:
            writeOut(usageText("tavelinctl"));
            return exitSuccess;
        case Command::Kind::version:
            return runVersion();
        default:
            return runPerform(*command);
    }
}

}  // namespace
}  // namespace tavelin::tavelinctl

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = tavelin::tavelinctl::run(words);
    return std::fflush(stdout) == 0 ? status : tavelin::tavelinctl::exitNoAnswer;
}
