#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TavelinShared/SoftwareUpdateEvaluation.h"
#include "TavelinShared/UnicodeText.h"

namespace tavelin {
namespace {

using namespace std::string_literals;

const std::string noUpdates = "Keine Systemupdates verf\u00FCgbar.";
const std::string installed = "Systemupdates installiert.";
const std::string restart = "Systemupdates installiert \u2013 Neustart erforderlich.";
const std::string hint =
    " \u2013 dieses Update verlangt die Anmeldung eines Administrators; bitte in den "
    "Systemeinstellungen unter \u201ESoftwareupdate\u201C installieren.";
const std::string dot = " \u00B7 ";

std::string failure(const std::string& statusAndTail) {
    return "softwareupdate Exit " + statusAndTail;
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

struct Case {
    std::int32_t exitStatus;
    std::string output;
    std::string message;
};

void expectVerdicts(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        const PrivilegedResult result = SoftwareUpdateEvaluation::result(c.exitStatus, c.output);
        EXPECT_EQ(result.message(), c.message) << c.exitStatus << " / \"" << c.output << '"';
        EXPECT_EQ(result.success(), c.exitStatus == 0)
            << c.exitStatus << " / \"" << c.output << '"';
        EXPECT_EQ(result.freedBytes(), 0) << c.output;
        EXPECT_TRUE(UnicodeText::isValidUtf8(result.message())) << c.output;
    }
}

TEST(SoftwareUpdateEvaluationTests, SuccessfulRunsAreJudgedByTheirPhrases) {
    expectVerdicts({
        {0, "", installed},
        {0, "Software Update Tool\n\nFinding available software\nDone.\n", installed},
        {0, "No new software available.\n", noUpdates},
        {0, "NO UPDATES ARE AVAILABLE", noUpdates},
        {0, "No updates are available.\nYou should restart.\n", noUpdates},
        {0, "Restart required\n", restart},
        {0, "Please shut down your computer", restart},
        {0, "RESTARTING NOW", restart},
        {0, "SHUT DOWN", restart},
        {0, "shutdown", installed},
        {0, "Authorization required\nnot authorized\n", installed},  // no hint on success
        {0, "no updates are\navailable", installed},                 // a phrase never spans lines
        {0, "no  updates are available", installed},
        // Lowercasing is not case folding: the long s stays what it is.
        {0, "\u017Fhut down", installed},
        {0, "Ein Neustart (RESTART) ist n\u00D6tig", restart},
    });
}

TEST(SoftwareUpdateEvaluationTests, FailuresCarryStatusAndTheLastThreeLines) {
    expectVerdicts({
        {1, "", failure("1: ")},
        {1, "x", failure("1: x")},
        {1, "x\n", failure("1: x")},
        {1, "a\n\n  b  \r\nc\t\nd\n", failure("1: b" + dot + "c" + dot + "d")},
        {1, "a\nb", failure("1: a" + dot + "b")},
        {-1, "x", failure("-1: x")},
        {INT32_MIN, "", failure("-2147483648: ")},
        {INT32_MAX, "", failure("2147483647: ")},
        {256, "y", failure("256: y")},
        {1, "No updates are available", failure("1: No updates are available")},
        // Separators: CR LF is one, and so are each of the other line ends.
        {1, "a\r\n\r\nb\r\n", failure("1: a" + dot + "b")},
        {1, "a\r\rb\n\nc", failure("1: a" + dot + "b" + dot + "c")},
        {1, "w\u2028x\u0085y\u2029z", failure("1: x" + dot + "y" + dot + "z")},
        {1, "w\vx\fy\rz", failure("1: x" + dot + "y" + dot + "z")},
        {1, "\n\n\r\n\u2028", failure("1: ")},
        {1, "a\n \t\u00A0\u3000\nb\n\t\n", failure("1: a" + dot + "b")},
        // Trimming takes blanks, tabs and every space separator, and nothing else.
        {1, "\u00A0 x\u00A0\t", failure("1: x")},
        {1, "\u2003x\u202F\u205F", failure("1: x")},
        // The zero width space is a format character, not a space separator.
        {1, "\u200Bx\u200B", failure("1: \u200Bx\u200B")},
        {1, "  a  b  ", failure("1: a  b")},
        // A combining mark after a line end begins the next line.
        {1, "a\n\u0301b", failure("1: a" + dot + "\u0301b")},
        // Ill-formed input is repaired rather than copied into the message.
        {1, "a\xFF\n"s, failure("1: a\uFFFD")},
    });
}

TEST(SoftwareUpdateEvaluationTests, AdministratorHintFollowsThePhrasesAnywhereInTheOutput) {
    const std::string farAway = "Not authorized to install\n" + repeated("line\n", 50) + "end";
    expectVerdicts({
        {1, "Authentication failed", failure("1: Authentication failed" + hint)},
        {1, "could not AUTHENTICATE", failure("1: could not AUTHENTICATE" + hint)},
        {1, "authenticated", failure("1: authenticated" + hint)},
        {1, "The Volume Owner must approve", failure("1: The Volume Owner must approve" + hint)},
        {1, "NOT AUTHORIZED", failure("1: NOT AUTHORIZED" + hint)},
        {1, "Authorization denied", failure("1: Authorization denied" + hint)},
        {1, "authori\nzation", failure("1: authori" + dot + "zation")},
        {1, "not  authorized", failure("1: not  authorized")},
        {1, farAway, failure("1: line" + dot + "line" + dot + "end" + hint)},
        {-9, "authorization", failure("-9: authorization" + hint)},
        // Full lowercase mapping: the capital I with dot becomes "i" plus a combining dot, so
        // the phrase is no longer there (a simple mapping to "i" would have found it).
        {1, "NOT AUTHOR\u0130ZED", failure("1: NOT AUTHOR\u0130ZED")},
        {1, "AUTHENT\u0130CATION", failure("1: AUTHENT\u0130CATION")},
    });
}

TEST(SoftwareUpdateEvaluationTests, TailIsCutAtThreeHundredUserPerceivedCharacters) {
    const std::string a298 = repeated("a", 298);
    const std::string a299 = repeated("a", 299);
    const std::string a300 = repeated("a", 300);
    const std::string flag = "\U0001F1E9\U0001F1EA";  // two regional indicators, one character
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    const std::string accented = "e\u0301\u0323";
    expectVerdicts({
        {1, a300, failure("1: " + a300)},
        {1, a300 + "b", failure("1: " + a300)},
        {1, a300 + "b\nauthentication", failure("1: " + a300 + hint)},
        {1, a299 + accented + "zzz", failure("1: " + a299 + accented)},
        {1, a299 + flag + "b", failure("1: " + a299 + flag)},
        {1, a299 + flag + flag, failure("1: " + a299 + flag)},
        {1, a299 + family + "b", failure("1: " + a299 + family)},
        {1, a298 + flag + flag + flag, failure("1: " + a298 + flag + flag)},
        {1, repeated(accented, 400), failure("1: " + repeated(accented, 300))},
        {1, repeated(flag, 301), failure("1: " + repeated(flag, 300))},
        // The cut may fall inside the separator, and the hint is never shortened.
        {1, a298 + "\nb", failure("1: " + a298 + " \u00B7")},
        {1, "authenticate\n" + a298 + "\nb\nc", failure("1: " + a298 + " \u00B7" + hint)},
        {1, repeated("a", 297) + "\nb", failure("1: " + repeated("a", 297) + dot)},
        // A line that begins with a combining mark joins it to the separator's blank.
        {1, repeated("a", 297) + "\n\u0301b",
         failure("1: " + repeated("a", 297) + " \u00B7 \u0301")},
        // CR LF inside the output counts as nothing: it separates lines.
        {1, repeated("a\r\n", 100) + "b", failure("1: a" + dot + "a" + dot + "b")},
        {1, repeated("x", 100) + "\r\n" + repeated("y", 100) + "\r\n" + repeated("z", 100),
         failure("1: " + repeated("x", 100) + dot + repeated("y", 100) + dot + repeated("z", 94))},
    });
}

TEST(SoftwareUpdateEvaluationTests, FixedTextsAreExactBytes) {
    EXPECT_EQ(SoftwareUpdateEvaluation::result(0, "").message(), "Systemupdates installiert.");
    EXPECT_EQ(SoftwareUpdateEvaluation::result(0, "no updates are available").message(),
              "Keine Systemupdates verf\xC3\xBCgbar.");
    EXPECT_EQ(SoftwareUpdateEvaluation::result(0, "restart").message(),
              "Systemupdates installiert \xE2\x80\x93 Neustart erforderlich.");
    EXPECT_EQ(
        SoftwareUpdateEvaluation::result(2, "a\nb\nauthenticate").message(),
        "softwareupdate Exit 2: a \xC2\xB7 b \xC2\xB7 authenticate \xE2\x80\x93 dieses Update "
        "verlangt die Anmeldung eines Administrators; bitte in den Systemeinstellungen unter "
        "\xE2\x80\x9ESoftwareupdate\xE2\x80\x9C installieren.");
}

TEST(SoftwareUpdateEvaluationTests, LongOutputsAreReadWhole) {
    // Phrases that straddle the boundaries at which the output is lowercased piece by piece,
    // some of them after characters whose lowercase form is longer.
    for (const std::size_t offset : {65530UL, 65533UL, 65535UL, 65536UL, 131070UL}) {
        std::string output = repeated("\u0130", 20) + repeated("x", offset - 40);
        output += "Shut Down";
        output += repeated("\u00DC", 70000) + "\nlast";
        EXPECT_EQ(SoftwareUpdateEvaluation::result(0, output).message(), restart) << offset;
        const std::string failing = repeated("\u00FC", offset / 2) + "VOLUME OWNER\nz";
        EXPECT_EQ(SoftwareUpdateEvaluation::result(1, failing).message(),
                  failure("1: " + repeated("\u00FC", 300)) + hint)
            << offset;
    }
    // Several megabytes: the phrase at the very start, the tail at the very end.
    std::string big =
        "authentication needed\n" + repeated("Downloading 42%\r\n", 600000) + "\t\u00A0\n";
    big += "one\ntwo\nthree\n\n";
    const PrivilegedResult verdict = SoftwareUpdateEvaluation::result(1, big);
    EXPECT_EQ(verdict.message(), failure("1: one" + dot + "two" + dot + "three" + hint));
}

// The output tail as written in the rules: iterate user-perceived characters over the whole
// output, split at those whose first scalar ends a line, trim, drop empties, keep three.
std::string referenceTail(const std::string& output) {
    static const std::vector<std::string> lineEnds = {"\n",     "\v",     "\f",    "\r",
                                                      "\u0085", "\u2028", "\u2029"};
    std::vector<std::string> lines(1);
    std::string_view rest = output;
    while (!rest.empty()) {
        const std::string_view character = UnicodeText::leadingGraphemeClusters(rest, 1);
        rest.remove_prefix(character.size());
        bool endsLine = false;
        for (const auto& lineEnd : lineEnds) {
            endsLine = endsLine || character.substr(0, lineEnd.size()) == lineEnd;
        }
        if (endsLine) {
            lines.emplace_back();
        } else {
            lines.back() += character;
        }
    }
    std::vector<std::string> kept;
    for (const auto& line : lines) {
        const std::string_view trimmed = UnicodeText::trimSpaceSeparatorsAndTabs(line);
        if (!trimmed.empty()) {
            kept.emplace_back(trimmed);
        }
    }
    std::string tail;
    for (std::size_t i = kept.size() > 3 ? kept.size() - 3 : 0; i < kept.size(); ++i) {
        tail += (tail.empty() ? "" : dot) + kept[i];
    }
    return std::string(UnicodeText::leadingGraphemeClusters(tail, 300));
}

TEST(SoftwareUpdateEvaluationTests, TailMatchesCharacterWiseSplittingOnRandomOutputs) {
    const std::vector<std::string> pieces = {
        "a",      "b",      " ",          "\t",        "\u00A0", "\u3000", "\n",
        "\r",     "\r\n",   "\v",         "\f",        "\u0085", "\u2028", "\u2029",
        "\u0301", "\u200D", "\U0001F1E9", "\u0130",    "\u03A3", "\uAC00", "\u1100",
        "\u1161", "\u0600", "\u0E33",     "\U0001F468"};
    std::mt19937 random(20261206);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 400);
    for (int round = 0; round < 400; ++round) {
        std::string output;
        for (std::size_t n = length(random); n > 0; --n) {
            output += pieces[pick(random)];
        }
        const PrivilegedResult verdict = SoftwareUpdateEvaluation::result(3, output);
        const std::string expected = failure("3: " + referenceTail(output));
        ASSERT_EQ(verdict.message(), expected) << '"' << output << '"';
        ASSERT_TRUE(UnicodeText::isValidUtf8(verdict.message())) << '"' << output << '"';
    }
}

TEST(SoftwareUpdateEvaluationTests, RunsOnSeveralThreadsAtOnce) {
    const std::string output =
        "Not authorized\n" + repeated("e\u0301 \u00A0\r\n", 2000) + "\u0130 done";
    const std::string expected = SoftwareUpdateEvaluation::result(5, output).message();
    std::vector<std::string> seen(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&output, &seen, t] {
            for (int i = 0; i < 20; ++i) {
                seen[t] = SoftwareUpdateEvaluation::result(5, output).message();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& message : seen) {
        EXPECT_EQ(message, expected);
    }
    EXPECT_EQ(expected, failure("5: e\u0301" + dot + "e\u0301" + dot + "\u0130 done" + hint));
}

}  // namespace
}  // namespace tavelin
