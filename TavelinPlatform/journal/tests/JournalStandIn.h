#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin::testing {

// One entry of the journal's native protocol: its fields by name.
using JournalEntry = std::map<std::string, std::string>;

// A stand-in for the journal's native socket: a datagram socket bound as
// <scratch>/journal/socket, which a process sees at /run/systemd/journal/socket once it
// entered the stand-in (enterJournalStandIn), so that what libsystemd sends there arrives
// here. Entries are kept short by the tests, so none comes as a memory file.
class JournalStandIn {
  public:
    JournalStandIn();
    ~JournalStandIn();
    JournalStandIn(const JournalStandIn&) = delete;
    JournalStandIn& operator=(const JournalStandIn&) = delete;

    // The directory to bind over /run/systemd.
    [[nodiscard]] const std::string& directory() const noexcept { return directory_; }
    // Every entry received so far (waiting up to `patience` for the first when none is there).
    [[nodiscard]] std::vector<JournalEntry> entries(int patienceMilliseconds = 0);

  private:
    std::string directory_;
    UniqueFd socket_;
};

// Parses one datagram of the native protocol ("NAME=value\n", or "NAME\n", a 64-bit
// little-endian length, the value and "\n"); a malformed one yields a "!malformed" field.
[[nodiscard]] JournalEntry parseJournalDatagram(std::string_view datagram);

// In the calling process: a private mount namespace in which `directory` lies over
// /run/systemd. Needs CAP_SYS_ADMIN; an empty string on success, else what failed.
[[nodiscard]] std::string enterJournalStandIn(const std::string& directory);

// "<device>:<inode>" of stderr, as the service manager puts it in JOURNAL_STREAM.
[[nodiscard]] std::string stderrJournalStream();

}  // namespace tavelin::testing
