// tavelinctl: the command-line client of the Tavelin helper daemon.
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "TavelinClient/HelperClient.h"
#include "TavelinShared/JsonText.h"
#include "TavelinShared/PathLayout.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"
#include "tools/tavelinctl/CommandLine.h"
#include "tools/tavelinctl/ElapsedIndicator.h"
#include "tools/tavelinctl/ResultReport.h"
#include "tools/tavelinctl/TerminalAgent.h"
#include "tools/tavelinctl/TerminalText.h"

namespace tavelin::tavelinctl {
namespace {

void write(std::FILE* stream, std::string_view bytes) {
    if (!bytes.empty()) {
        static_cast<void>(std::fwrite(bytes.data(), 1, bytes.size(), stream));
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
                                            : std::string(defaultHelperServiceName);
}

// Connects and runs one call; the indicator covers both, since admission of this very
// program (the daemon hashes it) is part of the wait. Only connecting and the hello have
// a time limit: the task may take as long as it takes.
// `quiet`: no indicator, since something else (the terminal agent) may be writing there.
template <typename Call>
Expected<std::string, ClientError> callDaemon(const Command& command, Call call,
                                              bool quiet = false) {
    const ElapsedIndicator indicator(STDERR_FILENO, !quiet && ::isatty(STDERR_FILENO) == 1);
    Expected<HelperClient, ClientError> client =
        HelperClient::connect(serviceName(), command.timeout);
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

// The paths of remove and repair made absolute against this process's current directory:
// the daemon has a directory of its own. False (said on stderr) when a path is relative
// and the directory cannot be read.
bool makePathsAbsolute(Command& command) {
    if (command.kind != Command::Kind::remove && command.kind != Command::Kind::repair) {
        return true;
    }
    std::optional<std::string> directory;
    for (std::string& path : command.arguments) {
        if (path.empty() || path.front() == '/') {
            continue;
        }
        if (!directory) {
            std::error_code error;
            directory = std::filesystem::current_path(error).string();
            if (error) {
                complain("the relative path " + shownForTerminal(path) +
                         " cannot be made absolute: the current directory cannot be read (" +
                         error.message() + "); nothing was sent");
                return false;
            }
        }
        path = absoluteAgainst(path, *directory);
    }
    return true;
}

int runVersion(const Command& command) {
    const Expected<std::string, ClientError> version =
        callDaemon(command, [](HelperClient& client) { return client.helperVersion(); });
    if (!version) {
        complain(version.error().text());
        return exitNoAnswer;
    }
    if (!command.json) {
        write(stdout, version.value() + "\n");
        return exitSuccess;
    }
    // {"version":"…"}, the string written as requests write theirs.
    const Expected<std::string, EncodingError> array = jsonStringArray({version.value()});
    if (!array) {
        complain("the helper's version is not valid UTF-8");
        return exitNoAnswer;
    }
    write(stdout, "{\"version\":" + array->substr(1, array->size() - 2) + "}\n");
    return exitSuccess;
}

int runTask(Command command) {
    if (!makePathsAbsolute(command)) {
        return exitOperationFailed;
    }
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
    const Expected<std::string, ClientError> answer = callDaemon(
        command,
        [&request](HelperClient& client) { return client.perform(request.value(), noTimeout); },
        agent.running());
    if (!answer) {
        complain(answer.error().text());
        return exitNoAnswer;
    }
    const bool printDocument = command.json || command.kind == Command::Kind::perform;
    if (printDocument) {
        write(stdout, answer.value() + "\n");  // the bytes exactly as received
    }
    const Expected<PrivilegedResult, DecodingError> result =
        PrivilegedResult::decode(answer.value());
    if (!result) {
        complain("the helper's answer is not a result (" + result.error().description + ")");
        return exitNoAnswer;
    }
    if (command.kind == Command::Kind::perform) {
        return result->success() ? exitSuccess : exitOperationFailed;
    }
    const Report report = reportFor(command, result.value());
    if (!printDocument) {
        write(report.status == exitSuccess ? stdout : stderr, report.line);
    }
    return report.status;
}

int run(const std::vector<std::string>& words) {
    const Expected<Command, UsageError> command = parseCommandLine(words);
    if (!command) {
        complain(command.error().text);
        write(stderr, "Try 'tavelinctl --help' for more information.\n");
        return exitUsage;
    }
    switch (command->kind) {
        case Command::Kind::help:
            write(stdout, usageText("tavelinctl", command->topic));
            return exitSuccess;
        case Command::Kind::toolVersion:
            // The layout names the folders this client's requests are judged by.
            write(stdout, "tavelinctl " TAVELINCTL_VERSION " (path layout: " +
                              std::string(PathLayout::name) + ")\n");
            return exitSuccess;
        case Command::Kind::version:
            return runVersion(*command);
        default:
            return runTask(*command);
    }
}

}  // namespace
}  // namespace tavelin::tavelinctl

// Nothing here is meant to throw; should memory still run out, the user reads why.
int main(int argc, char** argv) {
    try {
        const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
        const int status = tavelin::tavelinctl::run(words);
        return std::fflush(stdout) == 0 ? status : tavelin::tavelinctl::exitNoAnswer;
    } catch (const std::exception& failure) {
        static_cast<void>(std::fprintf(stderr, "tavelinctl: %s\n", failure.what()));
    } catch (...) {
        static_cast<void>(std::fputs("tavelinctl: unexpected failure\n", stderr));
    }
    return tavelin::tavelinctl::exitOperationFailed;
}
