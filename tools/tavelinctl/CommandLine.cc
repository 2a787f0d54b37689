#include "tools/tavelinctl/CommandLine.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <optional>

namespace tavelin::tavelinctl {
namespace {

struct Grammar {
    std::string_view word;
    Command::Kind kind;
    std::size_t minimumArguments;
    std::size_t maximumArguments;
    std::string_view argumentName;  // for "remove needs a PATH"
};

constexpr std::size_t unbounded = static_cast<std::size_t>(-1);

constexpr std::array<Grammar, 6> grammar = {{
    {"help", Command::Kind::help, 0, 1, "COMMAND"},
    {"version", Command::Kind::version, 0, 0, ""},
    {"perform", Command::Kind::perform, 1, 1, "request (JSON)"},
    {"remove", Command::Kind::remove, 1, unbounded, "PATH"},
    {"repair", Command::Kind::repair, 1, 1, "PATH"},
    {"update", Command::Kind::update, 0, 0, ""},
}};

const Grammar* ruleFor(std::string_view word) {
    for (const Grammar& rule : grammar) {
        if (rule.word == word) {
            return &rule;
        }
    }
    return nullptr;
}

Unexpected<UsageError> usageError(std::string text) {
    return Unexpected(UsageError{std::move(text)});
}

std::string quoted(std::string_view word) {
    return "\"" + std::string(word) + "\"";
}

// Seconds as the user wrote them ("5", "0.5"), within (0, maximumTimeoutSeconds].
Expected<std::chrono::milliseconds, UsageError> timeoutFrom(std::string_view text) {
    double seconds = 0;
    const auto [end, failure] =
        std::from_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
    if (failure != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds <= 0 || seconds > maximumTimeoutSeconds) {
        return usageError("invalid timeout " + quoted(text) +
                          ": give the seconds, more than 0 and at most 86400");
    }
    // Rounded up, so that a small positive value is not taken for no time at all.
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

// The options and the remaining words (command and arguments), in order.
struct Scanned {
    bool help = false;
    bool version = false;
    bool json = false;
    std::chrono::milliseconds timeout = defaultTimeout;
    std::vector<std::string> operands;
};

Expected<Scanned, UsageError> scan(const std::vector<std::string>& words) {
    constexpr std::string_view timeoutPrefix = "--timeout=";
    Scanned scanned;
    bool optionsEnded = false;
    for (std::size_t at = 0; at < words.size(); ++at) {
        const std::string& word = words[at];
        if (optionsEnded || word.size() < 2 || word.front() != '-') {
            scanned.operands.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--help" || word == "-h") {
            scanned.help = true;
        } else if (word == "--version" || word == "-V") {
            scanned.version = true;
        } else if (word == "--json") {
            scanned.json = true;
        } else if (word == "--timeout" || word.starts_with(timeoutPrefix)) {
            if (word == "--timeout" && at + 1 == words.size()) {
                return usageError("option --timeout needs the seconds");
            }
            const std::string_view value =
                word == "--timeout" ? std::string_view(words[++at])
                                    : std::string_view(word).substr(timeoutPrefix.size());
            const auto timeout = timeoutFrom(value);
            if (!timeout) {
                return Unexpected(timeout.error());
            }
            scanned.timeout = *timeout;
        } else {
            return usageError("unknown option " + quoted(word));
        }
    }
    return scanned;
}

// The command of help's argument, if it names one.
Expected<Command::Kind, UsageError> helpTopic(const std::vector<std::string>& operands) {
    if (operands.empty()) {
        return Command::Kind::help;
    }
    if (const Grammar* rule = ruleFor(operands.front())) {
        return rule->kind;
    }
    return usageError("unknown command " + quoted(operands.front()));
}

}  // namespace

Expected<Command, UsageError> parseCommandLine(const std::vector<std::string>& words) {
    Expected<Scanned, UsageError> scanned = scan(words);
    if (!scanned) {
        return Unexpected(scanned.error());
    }
    Command command;
    command.json = scanned->json;
    command.timeout = scanned->timeout;
    const std::vector<std::string>& operands = scanned->operands;
    if (scanned->help) {
        const auto topic = helpTopic(operands);
        if (!topic) {
            return Unexpected(topic.error());
        }
        command.topic = *topic;
        return command;
    }
    if (scanned->version) {
        command.kind = Command::Kind::toolVersion;
        return command;
    }
    if (operands.empty()) {
        return usageError("no command given");
    }
    const Grammar* rule = ruleFor(operands.front());
    if (rule == nullptr) {
        return usageError("unknown command " + quoted(operands.front()));
    }
    const std::size_t argumentCount = operands.size() - 1;
    if (argumentCount < rule->minimumArguments) {
        return usageError(std::string(rule->word) + " needs a " + std::string(rule->argumentName));
    }
    if (argumentCount > rule->maximumArguments) {
        return usageError("unexpected argument " + quoted(operands[1 + rule->maximumArguments]) +
                          " after " + std::string(rule->word));
    }
    command.kind = rule->kind;
    command.arguments.assign(operands.begin() + 1, operands.end());
    if (command.kind == Command::Kind::help) {
        const auto topic = helpTopic(command.arguments);
        if (!topic) {
            return Unexpected(topic.error());
        }
        command.topic = *topic;
        command.arguments.clear();
    }
    return command;
}

std::string absoluteAgainst(std::string_view path, std::string_view directory) {
    if (path.empty() || path.front() == '/') {
        return std::string(path);
    }
    std::string joined(directory);
    if (joined.empty() || joined.back() != '/') {
        joined += '/';
    }
    return joined.append(path);
}

}  // namespace tavelin::tavelinctl
