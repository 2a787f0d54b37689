// tavelin_journal_launcher PROGRAM [ARG...]: runs PROGRAM as the service manager would with
// its stderr connected to the journal: JOURNAL_STREAM names the stderr it inherits, and in
// a private mount namespace the directory TAVELIN_TEST_JOURNAL_DIR lies over /run/systemd,
// so that what PROGRAM sends to the journal's socket reaches the test's stand-in. Execs
// PROGRAM in this same process. Needs CAP_SYS_ADMIN.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TavelinPlatform/journal/tests/JournalStandIn.h"

int main(int argc, char** argv) {
    const char* directory = std::getenv("TAVELIN_TEST_JOURNAL_DIR");  // NOLINT
    if (argc < 2 || directory == nullptr) {
        std::fprintf(stderr, "usage: TAVELIN_TEST_JOURNAL_DIR=DIR %s PROGRAM [ARG...]\n", argv[0]);
        return 64;
    }
    if (const std::string failed = tavelin::testing::enterJournalStandIn(directory);
        !failed.empty()) {
        std::fprintf(stderr, "journal stand-in: %s\n", failed.c_str());
        return 1;
    }
    const std::string stream = tavelin::testing::stderrJournalStream();
    if (::setenv("JOURNAL_STREAM", stream.c_str(), 1) != 0) {  // NOLINT
        std::perror("setenv");
        return 1;
    }
    ::execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
