#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/UnicodeText.h"

// Turns one run of the system update tool into the verdict the client shows.
namespace tavelin::SoftwareUpdateEvaluation {

// `output` is the tool's combined stdout and stderr as valid UTF-8. Pure; never fails.
[[nodiscard]] PrivilegedResult result(std::int32_t exitStatus, std::string_view output);

// The groups of phrases a verdict depends on.
enum class PhraseList : std::uint8_t { administrator, noUpdates, restart };

// Which phrase lists a text holds, looking at it piece by piece: each piece is lowercased
// on its own (full lowercase mapping, root locale) and searched together with the carried-
// over end of the pieces before, so a phrase that straddles two pieces is found as in the
// whole text. Memory stays bounded by the largest piece fed.
class PhraseFinder {
  public:
    // `text` continues what was fed before; well-formed UTF-8 cut between scalars.
    void feed(std::string_view text);
    [[nodiscard]] bool found(PhraseList list) const noexcept {
        return found_[static_cast<std::size_t>(list)];
    }

  private:
    std::string window_;  // the lowercased end of what was fed, shorter than any phrase
    std::array<bool, 3> found_{};
};

// The verdict on output that arrives in pieces cut anywhere (inside a UTF-8 sequence too),
// keeping only what the verdict needs: the phrases found so far and the end of the decoded
// output as the source of the tail. result(status) equals result(status, everything
// appended) whenever the last three non-blank lines, with the line end before the earliest
// of them, lie within that end; when they are longer together, the tail shown starts
// inside the earliest of them. Memory stays bounded whatever the tool prints.
class OutputScanner {
  public:
    // How much of the decoded output is kept for the tail: its last 64 KiB, about 200 full
    // lines of a terminal, far beyond the 300 characters a verdict shows.
    static constexpr std::size_t tailSourceLimit = std::size_t{64} << 10U;

    // The next bytes of the tool's combined output, as read.
    void append(std::string_view bytes);

    // The verdict as if the output ended here; what is held back of a cut sequence counts
    // as ill-formed. Appending may go on afterwards.
    [[nodiscard]] PrivilegedResult result(std::int32_t exitStatus) const;

  private:
    UnicodeText::Utf8LossyDecoder decoder_;
    PhraseFinder phrases_;
    // The end of the decoded output: the tail is taken from its last tailSourceLimit bytes;
    // holds at most twice that plus one appended piece.
    std::string tailKept_;
    std::string decoded_;  // one appended piece decoded; a member to reuse its memory
};

}  // namespace tavelin::SoftwareUpdateEvaluation
