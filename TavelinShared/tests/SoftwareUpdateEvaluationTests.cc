#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TavelinShared/SoftwareUpdateEvaluation.h"

namespace tavelin {
namespace {

using namespace std::string_literals;

// The fixed texts, spelled as bytes so the source encoding cannot hide a wrong character.
const std::string noUpdates = "Keine Systemupdates verf\xC3\xBCgbar.";
const std::string installed = "Systemupdates installiert.";
const std::string restart = "Systemupdates installiert \xE2\x80\x93 Neustart erforderlich.";
const std::string hint =
    " \xE2\x80\x93 dieses Update verlangt die Anmeldung eines Administrators; bitte in den "
    "Systemeinstellungen unter \xE2\x80\x9ESoftwareupdate\xE2\x80\x9C installieren.";
const std::string dot = " \xC2\xB7 ";

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

TEST(SoftwareUpdateEvaluationTests, JudgesPhrasesTailsCutsAndTheAdministratorHint) {
    const std::string a297 = repeated("a", 297);
    const std::string a299 = repeated("a", 299);
    const std::string flag = "\U0001F1E9\U0001F1EA";  // two regional indicators, one character
    const std::string accented = "e\u0301\u0323";
    const struct {
        std::int32_t exitStatus;
        std::string output;
        std::string message;
    } cases[] = {
        // Successful runs are judged by their phrases, case-insensitively, within one line.
        {0, "Finding available software\nDone.\n", installed},
        {0, "NO UPDATES ARE AVAILABLE\nYou should restart.\n", noUpdates},
        {0, "Please shut down your computer", restart},
        {0, "Ein Neustart (RESTART) ist n\u00D6tig", restart},
        {0, "no updates are\navailable", installed},
        {0, "\u017Fhut down", installed},            // lowercasing is not case folding
        {0, "Authorization required\n", installed},  // no hint on success
        // Failures carry the status and the last three non-blank lines, trimmed.
        {1, "", failure("1: ")},
        {-1, "a\n\n  b  \r\nc\t\nd\n", failure("-1: b" + dot + "c" + dot + "d")},
        {1, "a\r\n\r\nb\r\n", failure("1: a" + dot + "b")},  // CR LF is one separator
        {1, "w\u2028x\u0085y\vz", failure("1: x" + dot + "y" + dot + "z")},
        {1, "\u00A0\u2003 x\u202F\t", failure("1: x")},
        {1, "\u200Bx\u200B", failure("1: \u200Bx\u200B")},     // a format character, not a space
        {1, "a\n\u0301b", failure("1: a" + dot + "\u0301b")},  // a mark after a line end
        {1, "a\xFF\n"s, failure("1: a\uFFFD")},
        // The administrator hint follows its phrases anywhere in the output.
        {1, "could not AUTHENTICATE", failure("1: could not AUTHENTICATE" + hint)},
        {1, "The Volume Owner must approve", failure("1: The Volume Owner must approve" + hint)},
        {1, "Not authorized\n" + repeated("l\n", 50) + "end",
         failure("1: l" + dot + "l" + dot + "end" + hint)},
        {-9, "authorization", failure("-9: authorization" + hint)},
        {1, "authori\nzation", failure("1: authori" + dot + "zation")},
        // Full lowercase mapping: capital I with dot becomes "i" plus a combining dot.
        {1, "NOT AUTHOR\u0130ZED", failure("1: NOT AUTHOR\u0130ZED")},
        // The tail is cut at 300 user-perceived characters; the hint is never shortened.
        {1, a299 + "ab\nauthentication", failure("1: " + a299 + "a" + hint)},
        {1, a299 + accented + "zzz", failure("1: " + a299 + accented)},
        {1, a299 + flag + flag, failure("1: " + a299 + flag)},
        {1, "authenticate\na" + a297 + "\nb\nc", failure("1: a" + a297 + " \xC2\xB7" + hint)},
        {1, a297 + "\n\u0301b", failure("1: " + a297 + dot + "\u0301")},
    };
    for (const auto& c : cases) {
        const PrivilegedResult result = SoftwareUpdateEvaluation::result(c.exitStatus, c.output);
        EXPECT_EQ(result.message(), c.message) << c.exitStatus << " / \"" << c.output << '"';
        EXPECT_EQ(result.success(), c.exitStatus == 0) << c.output;
    }
}

TEST(SoftwareUpdateEvaluationTests, FindsPhrasesAcrossThePiecesLongOutputsAreLowercasedIn) {
    // Phrases straddling the 64 KiB pieces, after characters whose lowercase form is longer.
    for (const std::size_t offset : {65533UL, 65536UL, 131070UL}) {
        const std::string output = repeated("\u0130", 20) + repeated("x", offset - 40) +
                                   "Shut Down" + repeated("\u00DC", 70000);
        EXPECT_EQ(SoftwareUpdateEvaluation::result(0, output).message(), restart) << offset;
        const std::string failing = repeated("\u00FC", offset / 2) + "VOLUME OWNER\nz";
        EXPECT_EQ(SoftwareUpdateEvaluation::result(1, failing).message(),
                  failure("1: " + repeated("\u00FC", 300)) + hint)
            << offset;
    }
}

TEST(SoftwareUpdateEvaluationTests, FindsEveryPhraseAtEveryOffsetAcrossAPieceBoundary) {
    // Long outputs are lowercased in 64 KiB pieces; each phrase of each list, in capitals,
    // is placed so that 0 to all of its bytes come before a piece boundary.
    constexpr std::size_t pieceSize = 65536;
    const struct {
        std::int32_t exitStatus;
        std::vector<std::string> phrases;
        std::string verdict;  // the message's ending that shows the phrase was found
    } lists[] = {
        {1, {"AUTHENTICAT", "VOLUME OWNER", "NOT AUTHORIZED", "AUTHORIZATION"}, hint},
        {0, {"NO UPDATES ARE AVAILABLE", "NO NEW SOFTWARE AVAILABLE"}, noUpdates},
        {0, {"RESTART", "SHUT DOWN"}, restart},
    };
    for (const auto& list : lists) {
        for (const std::string& phrase : list.phrases) {
            for (std::size_t before = 0; before <= phrase.size(); ++before) {
                const std::string output =
                    std::string(pieceSize - before, 'x') + phrase + std::string(100, 'x') + "\nz";
                const std::string message =
                    SoftwareUpdateEvaluation::result(list.exitStatus, output).message();
                EXPECT_TRUE(message.ends_with(list.verdict))
                    << phrase << " with " << before << " bytes before the boundary";
            }
        }
    }
}

// The verdict of a scanner fed `output` in pieces: cut before each position in `cuts`
// (ascending), or before every byte when `cuts` is empty.
PrivilegedResult streamed(std::int32_t exitStatus, std::string_view output,
                          const std::vector<std::size_t>& cuts) {
    SoftwareUpdateEvaluation::OutputScanner scanner;
    std::size_t position = 0;
    if (cuts.empty()) {
        for (const char byte : output) {
            scanner.append(std::string_view(&byte, 1));
        }
        position = output.size();
    }
    for (const std::size_t cut : cuts) {
        scanner.append(output.substr(position, cut - position));
        position = cut;
    }
    scanner.append(output.substr(position));
    return scanner.result(exitStatus);
}

TEST(SoftwareUpdateEvaluationTests, TheStreamedVerdictIsTheVerdictOnTheWholeOutput) {
    // Short outputs are cut at every single position and at all positions at once; long ones
    // (beyond the kept tail and the 64 KiB lowercased at a time) at all positions at once and
    // in pipe-sized pieces.
    const std::string outputs[] = {
        "",
        "Software Update Tool\nNo updates are available.\n",
        "No new software available",
        "Downloading\nInstalling\nPlease RESTART now\n",
        "You have to shut down.\r\n",
        "Authenticating...\nError: VOLUME OWNER required\r\n\r\n",
        "NOT AUTHOR\u0130ZED \u03A3\u039F\u03A3 \u00DCbersicht\n",
        "verf\u00FCgbar \u20AC \U0001F600 \U0001F1E9\U0001F1EA\ne\u0301\u0323",
        "w\u2028x\u0085y\vz\u2029",
        "a\n\u0301b\n\u00A0\u2003 c\u202F\t\n",
        "bad \xFF\xFE end\ncut \xE2\x82x\nover \xC0\xAF \xE0\x80 \xED\xA0\x80 \xF4\x90\x80\x80"s,
        "lone \x80\x80\xBF then \xF0\x9F\x98\x80 and cut at the end \xF0\x9F\x98"s,
        "restart\xE2\n\xC2"
        "authorization\xE2\x82"s,
        "not authorized\n" + repeated("\u00FC", 301) + "\n",
        repeated("\u00FC", 70000) + "\nline one\n\nAuthorization\xF0\x9F"s,
        "volume owner\n" + repeated("x\n", 40000) + "Restart",
        repeated("y", 65530) + "SHUT DOWN\n" + repeated("\u0130", 10000) + "\nmiddle\nend\n",
    };
    for (const std::string& output : outputs) {
        std::vector<std::vector<std::size_t>> cutSets = {{}};
        if (output.size() <= 200) {
            for (std::size_t cut = 0; cut <= output.size(); ++cut) {
                cutSets.push_back({cut});
            }
        } else {
            cutSets.emplace_back();
            for (std::size_t cut = 65536; cut < output.size(); cut += 65536) {
                cutSets.back().push_back(cut);
            }
        }
        for (const std::int32_t exitStatus : {0, 3}) {
            const PrivilegedResult whole = SoftwareUpdateEvaluation::result(exitStatus, output);
            for (const auto& cuts : cutSets) {
                const PrivilegedResult pieces = streamed(exitStatus, output, cuts);
                ASSERT_EQ(pieces.message(), whole.message())
                    << exitStatus << " / " << output.substr(0, 80) << " cut "
                    << (cuts.empty() ? "everywhere" : std::to_string(cuts.front()));
                ASSERT_EQ(pieces.success(), whole.success());
            }
        }
    }
}

}  // namespace
}  // namespace tavelin
