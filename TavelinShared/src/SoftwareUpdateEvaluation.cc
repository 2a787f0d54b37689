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

// Phrases of the tool's output, tested on the lowercased output as plain substrings, each
// with the list it belongs to.
struct Phrase {
    std::string_view text;
    PhraseList list;
};
constexpr std::array<Phrase, 8> watchedPhrases = {{
    {"authenticat", PhraseList::administrator},
    {"volume owner", PhraseList::administrator},
    {"not authorized", PhraseList::administrator},
    {"authorization", PhraseList::administrator},
    {"no updates are available", PhraseList::noUpdates},
    {"no new software available", PhraseList::noUpdates},
    {"restart", PhraseList::restart},
    {"shut down", PhraseList::restart},
}};

constexpr std::size_t longestPhrase = [] {
    std::size_t longest = 0;
    for (const Phrase& phrase : watchedPhrases) {
        longest = std::max(longest, phrase.text.size());
    }
    return longest;
}();

// PhraseFinder lowercases at most this much at a time, so a long text never needs a second
// full-size copy.
constexpr std::size_t lowercasePieceSize = std::size_t{64} << 10U;

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

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

std::string failureMessage(std::int32_t exitStatus, std::string_view tailSource,
                           bool needsAdministrator) {
    const std::string tail = outputTail(tailSource);
    std::string message(failurePrefix);
    message += std::to_string(exitStatus);
    message += statusSeparator;
    message += UnicodeText::leadingGraphemeClusters(tail, tailCharacterLimit);
    if (needsAdministrator) {
        message += administratorHint;
    }
    return message;
}

std::string_view successMessage(const PhraseFinder& found) {
    if (found.found(PhraseList::noUpdates)) {
        return noUpdatesMessage;
    }
    if (found.found(PhraseList::restart)) {
        return restartMessage;
    }
    return installedMessage;
}

// The one verdict both the whole output and the streamed one come to: the tail comes from
// the end of `tailSource`, the phrases from everything the tool printed.
PrivilegedResult verdict(std::int32_t exitStatus, std::string_view tailSource,
                         const PhraseFinder& found) {
    if (exitStatus != 0) {
        return PrivilegedResult(
            false, failureMessage(exitStatus, tailSource, found.found(PhraseList::administrator)),
            0);
    }
    return PrivilegedResult(true, std::string(successMessage(found)), 0);
}

// The last tailSourceLimit bytes of `kept`, or all of it, from the first scalar start on.
std::string_view tailSource(std::string_view kept) {
    std::size_t cut = kept.size() - std::min(kept.size(), OutputScanner::tailSourceLimit);
    while (cut < kept.size() && isContinuationByte(kept[cut])) {
        ++cut;
    }
    return kept.substr(cut);
}

// Appends `text` to what is kept for the tail. Only the last tailSourceLimit bytes are ever
// used, but the front is dropped only once twice that has piled up, so a tool that writes a
// byte at a time does not make every byte move the whole tail.
void keepTail(std::string& kept, std::string_view text) {
    kept += text;
    if (kept.size() > 2 * OutputScanner::tailSourceLimit) {
        kept.erase(0, kept.size() - tailSource(kept).size());
    }
}

}  // namespace

// A phrase is found in the concatenated lowercase mapping whatever the pieces: pieces split
// between scalars map exactly as the whole text would, save that a Greek final sigma may
// come out as the other sigma, which no ASCII phrase can tell apart; and the window keeps
// every byte a phrase that ends in the next piece can start with. The window may begin
// inside a multi-byte character, whose bytes no ASCII phrase matches.
void PhraseFinder::feed(std::string_view text) {
    std::size_t position = 0;
    while (position < text.size()) {
        if (std::all_of(found_.begin(), found_.end(), [](bool listFound) { return listFound; })) {
            return;  // nothing left to learn
        }
        std::size_t end = std::min(text.size(), position + lowercasePieceSize);
        while (end < text.size() && isContinuationByte(text[end])) {
            --end;  // step back to the start of a scalar; a piece always holds at least one
        }
        window_ += UnicodeText::lowercase(text.substr(position, end - position));
        position = end;
        for (const Phrase& phrase : watchedPhrases) {
            bool& listFound = found_[static_cast<std::size_t>(phrase.list)];
            listFound = listFound || window_.find(phrase.text) != std::string::npos;
        }
        window_.erase(0, window_.size() - std::min(window_.size(), longestPhrase - 1));
    }
}

void OutputScanner::append(std::string_view bytes) {
    decoded_.clear();
    decoder_.decode(bytes, decoded_);
    phrases_.feed(decoded_);
    keepTail(tailKept_, decoded_);
}

PrivilegedResult OutputScanner::result(std::int32_t exitStatus) const {
    std::string rest;
    UnicodeText::Utf8LossyDecoder decoder = decoder_;
    decoder.finish(rest);
    if (rest.empty()) {
        return verdict(exitStatus, tailSource(tailKept_), phrases_);
    }
    PhraseFinder found = phrases_;
    found.feed(rest);
    std::string kept = tailKept_;
    keepTail(kept, rest);
    return verdict(exitStatus, tailSource(kept), found);
}

PrivilegedResult result(std::int32_t exitStatus, std::string_view output) {
    // The runner decodes with repair, but a message must be valid UTF-8 whatever we are given.
    std::string repaired;
    if (!UnicodeText::isValidUtf8(output)) {
        repaired = UnicodeText::decodeUtf8Lossy(output);
        output = repaired;
    }
    PhraseFinder found;
    found.feed(output);
    return verdict(exitStatus, output, found);
}

}  // namespace tavelin::SoftwareUpdateEvaluation
