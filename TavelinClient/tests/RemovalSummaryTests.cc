#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "TavelinClient/RemovalSummary.h"

namespace tavelin {
namespace {

struct Row {
    std::string message;
    std::optional<RemovalSummary> summary;  // nothing: not a summary
};

TEST(RemovalSummaryTest, ReadsEveryFormTheDaemonWritesAndNothingElse) {
    const std::vector<Row> rows = {
        {"0 Pfade entfernt", RemovalSummary{0, 0, 0}},
        {"2 Pfade entfernt", RemovalSummary{2, 0, 0}},
        {"1 Pfade entfernt, 1 durch Policy abgelehnt", RemovalSummary{1, 1, 0}},
        {"12 Pfade entfernt, 3 fehlgeschlagen", RemovalSummary{12, 0, 3}},
        {"0 Pfade entfernt, 2 durch Policy abgelehnt, 1 fehlgeschlagen", RemovalSummary{0, 2, 1}},
        {"9223372036854775807 Pfade entfernt", RemovalSummary{INT64_MAX, 0, 0}},
        // Not summaries: other results, other orders, anything more or less.
        {"Rechte gesetzt: /var/cache/x", std::nullopt},
        {"Pfade entfernt", std::nullopt},
        {"-1 Pfade entfernt", std::nullopt},
        {"01 Pfade entfernt", std::nullopt},
        {"1 Pfad entfernt", std::nullopt},
        {"1  Pfade entfernt", std::nullopt},
        {"99999999999999999999 Pfade entfernt", std::nullopt},
        {"1 Pfade entfernt, 1 fehlgeschlagen, 1 durch Policy abgelehnt", std::nullopt},
        {"1 Pfade entfernt, ", std::nullopt},
        {"1 Pfade entfernt (10 Bytes)", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const std::optional<RemovalSummary> read = readRemovalSummary(row.message);
            ASSERT_EQ(read.has_value(), row.summary.has_value());
            if (read) {
                EXPECT_EQ(read->removed, row.summary->removed);
                EXPECT_EQ(read->refused, row.summary->refused);
                EXPECT_EQ(read->failed, row.summary->failed);
            }
        }();
    }
}

TEST(RemovalSummaryTest, CompleteOnlyWhenEveryPathAskedForWasRemoved) {
    EXPECT_TRUE((RemovalSummary{2, 0, 0}.complete(2)));
    EXPECT_FALSE((RemovalSummary{1, 0, 0}.complete(2)));
    EXPECT_FALSE((RemovalSummary{2, 1, 0}.complete(2)));
    EXPECT_FALSE((RemovalSummary{2, 0, 1}.complete(2)));
    EXPECT_TRUE((RemovalSummary{0, 0, 0}.complete(0)));
}

}  // namespace
}  // namespace tavelin
