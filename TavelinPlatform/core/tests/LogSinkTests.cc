#include <gtest/gtest.h>

#include <string>

#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"

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
        // The backslash is escaped, so a written "\n" cannot pass for an escaped line feed.
        {"back\\slash", "back\\\\slash"},
        {"text\\n", "text\\\\n"},
        // Separators and bidirectional controls that reorder or break a line on screen.
        {"a\u2028b\u2029c", "a\\u2028b\\u2029c"},
        {"\u202Aa\u202B\u202C\u202D\u202E", "\\u202aa\\u202b\\u202c\\u202d\\u202e"},
        {"\u2066\u2067\u2068\u2069", "\\u2066\\u2067\\u2068\\u2069"},
        {"\u200E\u200F\u061C", "\\u200e\\u200f\\u061c"},
        {"\u2027\u202F\u2065\u206A\u200D", "\u2027\u202F\u2065\u206A\u200D"},  // neighbours
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
