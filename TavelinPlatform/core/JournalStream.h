#pragma once

#include <string_view>

namespace tavelin {

// Whether this process's stderr is the journal stream that `journalStream` names: the
// value of JOURNAL_STREAM, "<device>:<inode>" in decimal, which the service manager sets
// when it connects stderr to the journal. A child that inherited the variable but not the
// stream (stderr redirected since) sees a different file and gets false, as does a
// missing or malformed value.
[[nodiscard]] bool stderrIsJournalStream(std::string_view journalStream);

}  // namespace tavelin
