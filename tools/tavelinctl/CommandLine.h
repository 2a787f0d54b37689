#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinShared/Expected.h"

namespace tavelin::tavelinctl {

// What the user asked for on the command line.
struct Command {
    enum class Kind { help, toolVersion, version, perform, remove, repair, update };
    Kind kind = Kind::help;
    // help: the command whose usage is asked for (help itself: the whole usage text).
    Kind topic = Kind::help;
    // perform: the request JSON; remove: one or more paths; repair: one path; else empty.
    std::vector<std::string> arguments;
    // --json: the daemon's answer document instead of a line for a person.
    bool json = false;
    // --timeout: how long connecting and the daemon's hello may take together.
    std::chrono::milliseconds timeout{0};
};

// The limit on connecting and the hello unless --timeout names another. Admission (the
// daemon hashing this program) takes milliseconds; a daemon that takes seconds is stuck.
inline constexpr std::chrono::seconds defaultTimeout{5};
// The largest --timeout, in seconds (a day): any longer is waiting for ever in practice.
inline constexpr double maximumTimeoutSeconds = 86400;

// What was wrong with the command line, naming the offending word, e.g.
// `unknown command "bogus"`. One line without the program's name.
struct UsageError {
    std::string text;
};

// Reads the words after the program name:
//   [OPTION...] COMMAND [ARGUMENT...]
// with the commands help [COMMAND], version, perform JSON, remove PATH..., repair PATH and
// update, and the options -h/--help, -V/--version, --json and --timeout SECONDS (or
// --timeout=SECONDS). Options may stand anywhere, before or after the command, until a
// word "--"; every word after it is an argument, so a path may begin with "-". A lone "-"
// is an argument. --help wins over everything else and turns into help for the command
// given, if any; then --version. Arguments are taken verbatim: relative paths are made
// absolute by the caller (absoluteAgainst).
[[nodiscard]] Expected<Command, UsageError> parseCommandLine(const std::vector<std::string>& words);

// The usage text of the whole tool, or of one command (for help COMMAND and COMMAND
// --help). Several lines, each ending in '\n'.
[[nodiscard]] std::string usageText(std::string_view programName,
                                    Command::Kind topic = Command::Kind::help);

// `path` made absolute against `directory` (absolute) by joining them with one '/', and
// nothing else: no segment is dropped or resolved and no symbolic link is followed, so the
// daemon judges the very path the user named. An absolute path and the empty path (which
// names nothing, and which the daemon refuses) are returned as they are.
[[nodiscard]] std::string absoluteAgainst(std::string_view path, std::string_view directory);

// Exit statuses of tavelinctl.
inline constexpr int exitSuccess = 0;          // done, nothing refused or failed
inline constexpr int exitOperationFailed = 1;  // refused, failed in part or in whole
inline constexpr int exitNoAnswer = 2;         // not running, refused, impostor, timeout
inline constexpr int exitUsage = 64;           // bad arguments (sysexits' EX_USAGE)

}  // namespace tavelin::tavelinctl
