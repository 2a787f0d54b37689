// tavelin-codesign: creates development identities, signs executables and verifies them.
//
//   tavelin-codesign sign --key <key.pem> --cert <leaf.pem> [--chain <chain.pem>]
//                         --identifier <identifier> <file>
//   tavelin-codesign verify --anchor <anchor.pem> [--requirement <text>] <file>
//   tavelin-codesign create-identity --out <directory> --ou <organisational unit>
//
// Exit status: 0 success (for verify: valid and, if given, the requirement holds);
// 1 the file is not validly signed or does not satisfy the requirement; 2 bad usage or
// unusable input (missing file, bad key, unparsable requirement).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/identity/CodeVerifier.h"
#include "TavelinPlatform/identity/FileReading.h"
#include "TavelinPlatform/identity/Requirement.h"
#include "TavelinPlatform/identity/TrustAnchor.h"
#include "TavelinPlatform/signing/CodeSigner.h"
#include "TavelinPlatform/signing/DevelopmentIdentity.h"

namespace tavelin {
namespace {

constexpr int exitSuccess = 0;
constexpr int exitRefused = 1;
constexpr int exitUsage = 2;

constexpr const char* usageText =
    "usage:\n"
    "  tavelin-codesign sign --key <key.pem> --cert <leaf.pem> [--chain <chain.pem>]\n"
    "                        --identifier <identifier> <file>\n"
    "  tavelin-codesign verify --anchor <anchor.pem> [--requirement <text>] <file>\n"
    "  tavelin-codesign create-identity --out <directory> --ou <organisational unit>\n";

// Output goes through these; a failed write to a closed stdout changes nothing we could
// still report.
void say(const std::string& text) {
    static_cast<void>(std::fputs(text.c_str(), stdout));
}

void complain(const std::string& message) {
    static_cast<void>(std::fputs(("tavelin-codesign: " + message + "\n").c_str(), stderr));
}

void complainUsage() {
    static_cast<void>(std::fputs(usageText, stderr));
}

// "--name value" options and exactly one positional argument (or none for create-identity).
struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;
};

std::optional<Arguments> parseArguments(int argc, char** argv,
                                        const std::vector<std::string>& allowed) {
    Arguments arguments;
    for (int index = 2; index < argc; ++index) {
        const std::string word = argv[index];
        if (word.rfind("--", 0) != 0) {
            arguments.positional.push_back(word);
            continue;
        }
        const std::string name = word.substr(2);
        bool known = false;
        for (const auto& candidate : allowed) {
            known = known || candidate == name;
        }
        if (!known || index + 1 >= argc || arguments.options.count(name) != 0) {
            complain("unknown, repeated or empty option " + word);
            return std::nullopt;
        }
        arguments.options[name] = argv[++index];
    }
    return arguments;
}

bool requireOptions(const Arguments& arguments, const std::vector<std::string>& names,
                    std::size_t positionalCount) {
    for (const auto& name : names) {
        if (arguments.options.count(name) == 0) {
            complain("missing --" + name);
            return false;
        }
    }
    if (arguments.positional.size() != positionalCount) {
        complain("expected " + std::to_string(positionalCount) + " file argument(s)");
        return false;
    }
    return true;
}

int fail(const std::string& message, int status) {
    complain(message);
    return status;
}

int sign(const Arguments& arguments) {
    if (!requireOptions(arguments, {"key", "cert", "identifier"}, 1)) {
        return exitUsage;
    }
    const auto chain = arguments.options.count("chain") != 0 ? arguments.options.at("chain") : "";
    auto identity =
        loadSigningIdentity(arguments.options.at("key"), arguments.options.at("cert"), chain);
    if (!identity) {
        return fail(identity.error().message, exitUsage);
    }
    const std::string& file = arguments.positional.front();
    auto layout = signFileAtPath(file, identity.value(), arguments.options.at("identifier"));
    if (!layout) {
        return fail(layout.error().message, exitUsage);
    }
    say("signed " + file + ": " + std::to_string(layout.value().contentLength) +
        " bytes of content, " + std::to_string(layout.value().blockLength) +
        "-byte signature block\n");
    return exitSuccess;
}

int verify(const Arguments& arguments) {
    if (!requireOptions(arguments, {"anchor"}, 1)) {
        return exitUsage;
    }
    auto anchor = TrustAnchor::loadFromFile(arguments.options.at("anchor"));
    if (!anchor) {
        return fail(anchor.error().message, exitUsage);
    }
    std::optional<Requirement> requirement;
    if (arguments.options.count("requirement") != 0) {
        auto parsed = Requirement::parse(arguments.options.at("requirement"));
        if (!parsed) {
            return fail("requirement does not parse: " + parsed.error().message, exitUsage);
        }
        requirement = std::move(parsed).value();
    }
    const std::string& path = arguments.positional.front();
    auto file = openFile(path, O_RDONLY);
    if (!file) {
        return fail(file.error().message, exitUsage);
    }
    auto code = readSignedCode(file.value().get(), anchor.value());
    if (!code) {
        return fail(path + ": invalid: " + code.error().message, exitRefused);
    }
    say("identifier: " + code.value().record.identifier +
        "\nleaf subject: " + code.value().leafSubject + "\n");
    const bool satisfied = !requirement || requirement->isSatisfiedBy(code.value().facts);
    if (requirement) {
        say(satisfied ? "requirement: satisfied\n" : "requirement: not satisfied\n");
    }
    if (auto content = verifySignedContent(file.value().get(), code.value()); !content) {
        return fail(path + ": invalid: " + content.error().message, exitRefused);
    }
    say("signature: valid\n");
    return satisfied ? exitSuccess : exitRefused;
}

int createIdentity(const Arguments& arguments) {
    if (!requireOptions(arguments, {"out", "ou"}, 0)) {
        return exitUsage;
    }
    const std::string& directory = arguments.options.at("out");
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail(directory + ": " + systemErrorText(errno), exitUsage);
    }
    auto files = writeDevelopmentIdentity(directory, arguments.options.at("ou"));
    if (!files) {
        return fail(files.error().message, exitUsage);
    }
    say("anchor: " + files.value().anchorCertificate + "\nanchor key: " + files.value().anchorKey +
        "\nleaf: " + files.value().leafCertificate + "\nleaf key: " + files.value().leafKey + "\n");
    return exitSuccess;
}

int run(int argc, char** argv) {
    if (argc < 2) {
        complainUsage();
        return exitUsage;
    }
    const std::string command = argv[1];
    struct Command {
        const char* name;
        std::vector<std::string> options;
        int (*handler)(const Arguments&);
    };
    const Command commands[] = {
        {"sign", {"key", "cert", "chain", "identifier"}, sign},
        {"verify", {"anchor", "requirement"}, verify},
        {"create-identity", {"out", "ou"}, createIdentity},
    };
    for (const auto& candidate : commands) {
        if (command == candidate.name) {
            const auto arguments = parseArguments(argc, argv, candidate.options);
            if (!arguments) {
                complainUsage();
                return exitUsage;
            }
            return candidate.handler(*arguments);
        }
    }
    if (command == "--help" || command == "help") {
        say(usageText);
        return exitSuccess;
    }
    if (command == "--version" && argc == 2) {
        say("tavelin-codesign " TAVELIN_VERSION "\n");
        return exitSuccess;
    }
    complain("unknown command " + command);
    complainUsage();
    return exitUsage;
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
    return tavelin::run(argc, argv);
}
