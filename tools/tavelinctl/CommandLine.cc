#include "CommandLine.h"

#include <array>
#include <cstddef>

namespace tavelin::tavelinctl {
namespace {

struct Grammar {
    std::string_view word;
    Command::Kind kind;
    std::size_t minimumArguments;
    std::size_t maximumArguments;
};

constexpr std::size_t unbounded = static_cast<std::size_t>(-1);

constexpr std::array<Grammar, 8> grammar = {{
    {"help", Command::Kind::help, 0, 0},
    {"--help", Command::Kind::help, 0, 0},
    {"-h", Command::Kind::help, 0, 0},
    {"version", Command::Kind::version, 0, 0},
    {"perform", Command::Kind::perform, 1, 1},
    {"remove", Command::Kind::remove, 1, unbounded},
    {"repair", Command::Kind::repair, 1, 1},
    {"update", Command::Kind::update, 0, 0},
}};

}  // namespace

std::optional<Command> parseCommandLine(const std::vector<std::string>& words) {
    if (words.empty()) {
        return std::nullopt;
    }
    const std::size_t argumentCount = words.size() - 1;
    for (const Grammar& rule : grammar) {
        if (words.front() != rule.word) {
            continue;
        }
        if (argumentCount < rule.minimumArguments || argumentCount > rule.maximumArguments) {
            return std::nullopt;
        }
        return Command{rule.kind, std::vector<std::string>(words.begin() + 1, words.end())};
    }
    return std::nullopt;
}

std::string usageText(std::string_view programName) {
    const std::string name(programName);
    return "usage: " + name +
           " version\n"
           "       " +
           name +
           " perform '<request JSON>'\n"
           "       " +
           name +
           " remove PATH...\n"
           "       " +
           name +
           " repair PATH\n"
           "       " +
           name +
           " update\n"
           "\n"
           "Asks the Tavelin helper daemon to do one privileged task.\n"
           "Exit status: 0 done, 1 the helper reported a failure or the system's policy\n"
           "(polkit) refused the task, 2 no answer from the\n"
           "helper (not running, connection refused, impostor, malformed answer),\n"
           "64 bad arguments (a path that is not valid UTF-8 among them: no request can\n"
           "carry it, so nothing is sent).\n"
           "On a terminal, polkit's text agent is offered for the task, should the policy\n"
           "ask for a password and no graphical agent answer.\n"
           "The helper is reached under de.morvane.Tavelin.helper, or under the name in\n"
           "TAVELIN_SERVICE_NAME; either way it must run as root.\n";
}

}  // namespace tavelin::tavelinctl
