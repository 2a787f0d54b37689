#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {
namespace {

std::size_t occurrences(std::string_view text, std::string_view needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST(PrivilegedHelperInfoTests, ConstantsHaveTheirFixedValues) {
    EXPECT_EQ(PrivilegedHelperInfo::machServiceName, "de.morvane.Tavelin.helper");
    EXPECT_EQ(PrivilegedHelperInfo::version, "0.0.1");
    EXPECT_EQ(PrivilegedHelperInfo::clientBundleIdentifier, "de.morvane.Tavelin");
    EXPECT_EQ(PrivilegedHelperInfo::teamIdentifier, "QH4T7R2KZ5");
    EXPECT_EQ(PrivilegedHelperInfo::teamIdentifier.size(), 10U);
}

TEST(PrivilegedHelperInfoTests, RequirementNamesBundleAndTeamOnceEachInQuotes) {
    const std::string requirement = PrivilegedHelperInfo::clientCodeRequirement();
    EXPECT_EQ(
        requirement,
        R"(anchor apple generic and identifier "de.morvane.Tavelin" and certificate leaf[subject.OU] = "QH4T7R2KZ5")");
    EXPECT_EQ(requirement.size(), 104U);
    EXPECT_EQ(requirement, PrivilegedHelperInfo::clientCodeRequirement());

    const std::string quotedBundle =
        "\"" + std::string(PrivilegedHelperInfo::clientBundleIdentifier) + "\"";
    const std::string quotedTeam = "\"" + std::string(PrivilegedHelperInfo::teamIdentifier) + "\"";
    EXPECT_EQ(occurrences(requirement, quotedBundle), 1U);
    EXPECT_EQ(occurrences(requirement, quotedTeam), 1U);
    // "de.morvane.Tavelin" is also the start of the service name; the requirement must not
    // name the daemon itself.
    EXPECT_EQ(occurrences(requirement, PrivilegedHelperInfo::clientBundleIdentifier), 1U);
    EXPECT_EQ(occurrences(requirement, PrivilegedHelperInfo::teamIdentifier), 1U);
}

TEST(PrivilegedHelperInfoTests, OnlyTheExactPlaceholderCountsAsUnconfigured) {
    EXPECT_TRUE(PrivilegedHelperInfo::isTeamIdentifierConfigured());
    struct Case {
        std::string_view candidate;
        bool configured;
    };
    const Case cases[] = {
        {"QH4T7R2KZ5", true},
        {"YOUR_TEAM_ID", false},
        {"your_team_id", true},
        {"YOUR_TEAM_ID ", true},
        {" YOUR_TEAM_ID", true},
        {"YOUR_TEAM_I", true},
        {"", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrivilegedHelperInfo::isConfiguredTeamIdentifier(c.candidate), c.configured)
            << '"' << c.candidate << '"';
    }
}

}  // namespace
}  // namespace tavelin
