#include <gtest/gtest.h>

#include <utility>

#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {
namespace {

TEST(PrivilegedHelperInfoTests, RequirementAndPlaceholderCheck) {
    EXPECT_EQ(
        PrivilegedHelperInfo::clientCodeRequirement(),
        R"(anchor apple generic and identifier "de.morvane.Tavelin" and certificate leaf[subject.OU] = "QH4T7R2KZ5")");
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
