#include <gtest/gtest.h>

#include <utility>

#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {
namespace {

TEST(PrivilegedHelperInfoTests, OnlyTheExactPlaceholderIsAnUnconfiguredTeam) {
    EXPECT_TRUE(PrivilegedHelperInfo::isTeamIdentifierConfigured());
    // Only the exact placeholder counts as unconfigured.
    const std::pair<const char*, bool> cases[] = {
        {"YOUR_TEAM_ID", false}, {"your_team_id", true}, {"YOUR_TEAM_ID ", true}};
    for (const auto& [candidate, configured] : cases) {
        EXPECT_EQ(PrivilegedHelperInfo::isConfiguredTeamIdentifier(candidate), configured)
            << '"' << candidate << '"';
    }
}

}  // namespace
}  // namespace tavelin
