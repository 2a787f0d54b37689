#include <gtest/gtest.h>

#include <string>

#include "CapturingLogSink.h"
#include "LogSink.h"

namespace tavelin {
namespace {

TEST(LogSinkTests, EscapesControlCharactersAndKeepsEverythingElse) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"[TavelinHelper] removed /Library/Caches/x (4 bytes)",
         "[TavelinHelper] removed /Library/Caches/x (4 bytes)"},
        {"a%sb%n", "a%sb%n"},
        {"line\n[TavelinHelper] forged", "line\\n[TavelinHelper] forged"},
        {"tab\there\rcr", "tab\\there\\rcr"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"esc\x1b[2Jdel\x7f", "esc\\x1b[2Jdel\\x7f"},
        {"nel\xc2\x85next", "nel\\xc2\\x85next"},
        {"Einträge – „ü“ \xc2\xa0", "Einträge – „ü“ \xc2\xa0"},
        {"back\\slash", "back\\slash"},
    };
    for (const auto& c : cases) {
        CapturingLogSink sink;
        sink.log(c.input);
        ASSERT_EQ(sink.lines().size(), 1U) << c.input;
        EXPECT_EQ(sink.lines().front(), c.expected) << c.input;
    }
}

}  // namespace
}  // namespace tavelin
