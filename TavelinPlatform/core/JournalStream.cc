#include "TavelinPlatform/core/JournalStream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>

namespace tavelin {

namespace {

bool parseDecimal(std::string_view text, std::uintmax_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool stderrIsJournalStream(std::string_view journalStream) {
    const std::size_t colon = journalStream.find(':');
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    if (colon == std::string_view::npos || !parseDecimal(journalStream.substr(0, colon), device) ||
        !parseDecimal(journalStream.substr(colon + 1), inode)) {
        return false;
    }
    struct stat status {};
    return ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device &&
           status.st_ino == inode;
}

}  // namespace tavelin
