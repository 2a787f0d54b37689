#include "TavelinClient/RemovalSummary.h"

#include <charconv>

#include "TavelinShared/RemovalSummaryWords.h"

namespace tavelin {

namespace {

namespace words = RemovalSummaryWords;

// Reads "<count><label>" off the front of `text`: a decimal count without sign or
// leading zeros (but "0" itself), then exactly `label`.
std::optional<std::int64_t> takeCount(std::string_view& text, std::string_view label) noexcept {
    std::int64_t count = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    const auto [next, failure] = std::from_chars(begin, end, count);
    const bool leadingZero = next - begin > 1 && *begin == '0';
    if (failure != std::errc() || begin == end || *begin == '-' || leadingZero) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(next - begin));
    if (!text.starts_with(label)) {
        return std::nullopt;
    }
    text.remove_prefix(label.size());
    return count;
}

// Takes ", <count><label>" off the front of `text` into `count` when it is there.
void takeOptionalCount(std::string_view& text, std::string_view label,
                       std::int64_t& count) noexcept {
    if (!text.starts_with(words::separator)) {
        return;
    }
    std::string_view rest = text.substr(words::separator.size());
    if (const std::optional<std::int64_t> read = takeCount(rest, label)) {
        count = *read;
        text = rest;
    }
}

}  // namespace

std::optional<RemovalSummary> readRemovalSummary(std::string_view message) noexcept {
    RemovalSummary summary;
    const std::optional<std::int64_t> removed = takeCount(message, words::removed);
    if (!removed) {
        return std::nullopt;
    }
    summary.removed = *removed;
    takeOptionalCount(message, words::refused, summary.refused);
    takeOptionalCount(message, words::failed, summary.failed);
    if (!message.empty()) {
        return std::nullopt;  // anything more is not a summary
    }
    return summary;
}

}  // namespace tavelin
