#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavelin::tavelinctl {

// What the user asked for on the command line.
struct Command {
    enum class Kind { help, version, perform, remove, repair, update };
    Kind kind = Kind::help;
    // perform: the request JSON; remove: one or more paths; repair: one path; else empty.
    std::vector<std::string> arguments;
};

// Reads the words after the program name. Accepts exactly:
//   help | --help | -h
//   version
//   perform '<request JSON>'
//   remove PATH...          (at least one path)
//   repair PATH
//   update
//
// tavelinctl talks to the daemon under "de.morvane.Tavelin.helper", or under the name in
// the environment variable TAVELIN_SERVICE_NAME when that is set and not empty.
// Arguments are taken verbatim (no option parsing after the command word, so a path may
// begin with "-"). Returns nothing for anything else; the caller prints the usage.
[[nodiscard]] std::optional<Command> parseCommandLine(const std::vector<std::string>& words);

// The usage text, several lines, each ending in '\n'.
[[nodiscard]] std::string usageText(std::string_view programName);

// Exit statuses of tavelinctl.
inline constexpr int exitSuccess = 0;          // the call succeeded (and success was true)
inline constexpr int exitOperationFailed = 1;  // the daemon answered with success false
inline constexpr int exitNoAnswer = 2;         // not running, refused, impostor, bad answer
inline constexpr int exitUsage = 64;           // bad arguments (sysexits' EX_USAGE)

}  // namespace tavelin::tavelinctl
