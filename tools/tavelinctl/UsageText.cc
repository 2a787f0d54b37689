// The usage texts of tavelinctl: the whole tool's, and each command's.
#include "tools/tavelinctl/CommandLine.h"

namespace tavelin::tavelinctl {
namespace {

struct CommandHelp {
    Command::Kind kind;
    std::string_view synopsis;  // after "<program> [OPTION...] "
    std::string_view description;
};

constexpr CommandHelp commandHelp[] = {
    {Command::Kind::help, "help [COMMAND]", "Prints the usage of tavelinctl, or of COMMAND.\n"},
    {Command::Kind::version, "version",
     "Prints the helper daemon's version (--version prints this tool's own).\n"},
    {Command::Kind::perform, "perform [--] '<request JSON>'",
     "Sends the request as it is, unchanged (paths in it included), and prints the\n"
     "helper's answer document. Exit status 0 when it says success, 1 when not.\n"},
    {Command::Kind::remove, "remove [--] PATH...",
     "Asks the helper to remove each PATH (below the folders its policy allows).\n"
     "Exit status 0 only when every PATH was removed; 1 when one was refused by the\n"
     "policy or could not be removed.\n"},
    {Command::Kind::repair, "repair [--] PATH",
     "Asks the helper to repair the permissions of PATH.\n"},
    {Command::Kind::update, "update", "Asks the helper to install the system's updates.\n"},
};

constexpr std::string_view options =
    "Options (anywhere before \"--\"; every word after \"--\" is an argument):\n"
    "  -h, --help         print the usage (of the command given) and exit\n"
    "  -V, --version      print this tool's version and exit\n"
    "      --json         print the helper's answer document (JSON) instead of a line\n"
    "      --timeout SECONDS\n"
    "                     how long connecting and the helper's greeting may take\n"
    "                     (default 5; the task itself has no limit)\n";

constexpr std::string_view details =
    "Asks the Tavelin helper daemon to do one privileged task.\n"
    "A relative PATH is made absolute against the current directory before it is sent:\n"
    "the directory and PATH are joined as they are (\".\", \"..\" and symbolic links are\n"
    "left for the helper to judge).\n"
    "Results go to standard output; failures and diagnostics to standard error.\n"
    "Exit status: 0 done, 1 the helper reported a failure or refused a part of the task,\n"
    "or the system's policy (polkit) refused the task, 2 no answer from the\n"
    "helper (not running, connection refused, impostor, malformed answer, no greeting\n"
    "in time), 64 bad arguments (a path that is not valid UTF-8 among them: no request\n"
    "can carry it, so nothing is sent).\n"
    "On a terminal, polkit's text agent is offered for the task, should the policy\n"
    "ask for a password and no graphical agent answer.\n"
    "The helper is reached under de.morvane.Tavelin.helper, or under the name in\n"
    "TAVELIN_SERVICE_NAME; either way it must run as root.\n";

}  // namespace

std::string usageText(std::string_view programName, Command::Kind topic) {
    const std::string name(programName);
    std::string text;
    for (const CommandHelp& help : commandHelp) {
        if (topic == Command::Kind::help || topic == help.kind) {
            text += (text.empty() ? "usage: " : "       ") + name + " [OPTION...] ";
            text.append(help.synopsis).append("\n");
        }
    }
    text += "\n";
    if (topic != Command::Kind::help) {
        for (const CommandHelp& help : commandHelp) {
            if (help.kind == topic) {
                text.append(help.description);
            }
        }
        return text.append("\n").append(options);
    }
    return text.append(details).append("\n").append(options);
}

}  // namespace tavelin::tavelinctl
