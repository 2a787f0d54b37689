#include "TavelinShared/SoftwareUpdateEvaluation.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "TavelinShared/UnicodeText.h"

namespace tavelin::SoftwareUpdateEvaluation {

namespace {

// The texts the client shows, with their non-ASCII characters spelled as UTF-8 bytes: U+00FC
// (\xC3\xBC), U+2013 (\xE2\x80\x93), U+00B7 (\xC2\xB7), U+201E (\xE2\x80\x9E), U+201C
// (\xE2\x80\x9C). No escape is followed by a hex digit, which would extend it.
constexpr std::string_view noUpdatesMessage = "Keine Systemupdates verf\xC3\xBCgbar.";
constexpr std::string_view installedMessage = "Systemupdates installiert.";
constexpr std::string_view restartMessage =
    "Systemupdates installiert \xE2\x80\x93 Neustart erforderlich.";
constexpr std::string_view failurePrefix = "softwareupdate Exit ";
constexpr std::string_view statusSeparator = ": ";
constexpr std::string_view tailSeparator = " \xC2\xB7 ";
constexpr std::string_view administratorHint =
    " \xE2\x80\x93 dieses Update verlangt die Anmeldung eines Administrators; bitte in den "
    "Systemeinstellungen unter \xE2\x80\x9ESoftwareupdate\xE2\x80\x9C installieren.";

constexpr std::size_t tailLineCount = 3;
constexpr std::size_t tailCharacterLimit = 300;

// Phrases of the tool's output, tested on the lowercased output as plain substrings.
constexpr std::array<std::string_view, 4> administratorPhrases = {
    "authenticat", "volume owner", "not authorized", "authorization"};
constexpr std::array<std::string_view, 2> noUpdatesPhrases = {"no updates are available",
                                                              "no new software available"};
constexpr std::array<std::string_view, 2> restartPhrases = {"restart", "shut down"};

// Scalars that end a line. Each of them forms a user-perceived character of its own (or, for
// CR followed by LF, one together), because grapheme clusters always break before and after
// controls and line or paragraph separators except between CR and LF. So splitting between
// scalars and then dropping empty pieces gives the same lines as splitting at characters.
bool isLineSeparator(UChar32 codePoint) {
    switch (codePoint) {
        case 0x000A:
        case 0x000B:
        case 0x000C:
        case 0x000D:
        case 0x0085:
        case 0x2028:
        case 0x2029:
            return true;
        default:
            return false;
    }
}

// The last `count` lines that are not empty after trimming, trimmed, in output order. Walks
// back from the end, so only the tail of a long output is read.
std::vector<std::string_view> lastLines(std::string_view output, std::size_t count) {
    std::vector<std::string_view> lines;
    const auto take = [&lines](std::string_view piece) {
        const std::string_view line = UnicodeText::trimSpaceSeparatorsAndTabs(piece);
        if (!line.empty()) {
            lines.push_back(line);
        }
    };
    std::size_t lineEnd = output.size();
    std::size_t position = output.size();
    while (position > 0 && lines.size() < count) {
        const auto [codePoint, start] = UnicodeText::scalarBefore(output, position);
        if (isLineSeparator(codePoint)) {
            take(output.substr(position, lineEnd - position));
            lineEnd = start;
        }
        position = start;
    }
    if (position == 0 && lines.size() < count) {
        take(output.substr(0, lineEnd));
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

std::string outputTail(std::string_view output) {
    std::string tail;
    for (const std::string_view line : lastLines(output, tailLineCount)) {
        if (!tail.empty()) {
            tail += tailSeparator;
        }
        tail += line;
    }
    return tail;
}

// Whether the full lowercase mapping of `output` contains one of `phrases`. The output is
// lowercased in pieces, so a multi-megabyte output never needs a second full-size copy; a
// phrase that straddles two pieces is found through the carried-over end of the previous
// piece. Pieces split between scalars map exactly as the whole text would, save that a Greek
// final sigma may come out as the other sigma, which no ASCII phrase can tell apart.
template <std::size_t phraseCount>
bool lowercasedContainsAny(std::string_view output,
                           const std::array<std::string_view, phraseCount>& phrases) {
    constexpr std::size_t pieceSize = std::size_t{64} << 10U;
    std::size_t longest = 0;
    for (const std::string_view phrase : phrases) {
        longest = std::max(longest, phrase.size());
    }
    std::string window;
    std::size_t position = 0;
    while (position < output.size()) {
        std::size_t end = std::min(output.size(), position + pieceSize);
        while (end < output.size() && (static_cast<unsigned char>(output[end]) & 0xC0U) == 0x80U) {
            --end;  // step back to the start of a scalar; a piece always holds at least one
        }
        window += UnicodeText::lowercase(output.substr(position, end - position));
        position = end;
        for (const std::string_view phrase : phrases) {
            if (window.find(phrase) != std::string::npos) {
                return true;
            }
        }
        window.erase(0, window.size() - std::min(window.size(), longest - 1));
    }
    return false;
}

std::string failureMessage(std::int32_t exitStatus, std::string_view output) {
    const std::string tail = outputTail(output);
    std::string message(failurePrefix);
    message += std::to_string(exitStatus);
    message += statusSeparator;
    message += UnicodeText::leadingGraphemeClusters(tail, tailCharacterLimit);
    if (lowercasedContainsAny(output, administratorPhrases)) {
        message += administratorHint;
    }
    return message;
}

std::string_view successMessage(std::string_view output) {
    if (lowercasedContainsAny(output, noUpdatesPhrases)) {
        return noUpdatesMessage;
    }
    if (lowercasedContainsAny(output, restartPhrases)) {
        return restartMessage;
    }
    return installedMessage;
}

}  // namespace

PrivilegedResult result(std::int32_t exitStatus, std::string_view output) {
    // The runner decodes with repair, but a message must be valid UTF-8 whatever we are given.
    std::string repaired;
    if (!UnicodeText::isValidUtf8(output)) {
        repaired = UnicodeText::decodeUtf8Lossy(output);
        output = repaired;
    }
    if (exitStatus != 0) {
        return PrivilegedResult(false, failureMessage(exitStatus, output), 0);
    }
    return PrivilegedResult(true, std::string(successMessage(output)), 0);
}

}  // namespace tavelin::SoftwareUpdateEvaluation
