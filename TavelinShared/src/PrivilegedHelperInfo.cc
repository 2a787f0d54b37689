#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin::PrivilegedHelperInfo {

namespace {

// The value a fresh checkout carries before the maker's signing team is filled in.
constexpr std::string_view teamIdentifierPlaceholder = "YOUR_TEAM_ID";

}  // namespace

bool isConfiguredTeamIdentifier(std::string_view candidate) {
    return candidate != teamIdentifierPlaceholder;
}

bool isTeamIdentifierConfigured() {
    return isConfiguredTeamIdentifier(teamIdentifier);
}

std::string clientCodeRequirement() {
    // Built from the two constants so that the requirement can never disagree with them.
    std::string requirement = "anchor apple generic and identifier \"";
    requirement += clientBundleIdentifier;
    requirement += "\" and certificate leaf[subject.OU] = \"";
    requirement += teamIdentifier;
    requirement += '"';
    return requirement;
}

}  // namespace tavelin::PrivilegedHelperInfo
