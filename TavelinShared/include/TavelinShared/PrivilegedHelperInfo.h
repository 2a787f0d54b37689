#pragma once

#include <string>
#include <string_view>

// The compiled-in identity of the daemon and of the one client that may talk to it.
// Nothing at run time changes these values.
namespace tavelin::PrivilegedHelperInfo {

inline constexpr std::string_view machServiceName = "de.morvane.Tavelin.helper";
inline constexpr std::string_view version = "0.0.1";
inline constexpr std::string_view clientBundleIdentifier = "de.morvane.Tavelin";
inline constexpr std::string_view teamIdentifier = "QH4T7R2KZ5";

// True unless the team identifier is still the placeholder "YOUR_TEAM_ID".
[[nodiscard]] bool isTeamIdentifierConfigured();
// The rule behind it, for any candidate: false exactly for the text "YOUR_TEAM_ID"
// (byte-for-byte; case and blanks count), true for everything else, the empty text included.
[[nodiscard]] bool isConfiguredTeamIdentifier(std::string_view candidate);

// The requirement a connecting client's code must satisfy, in the code requirement language:
// anchor apple generic and identifier "<bundle id>" and certificate leaf[subject.OU] = "<team>"
// built from clientBundleIdentifier and teamIdentifier (104 bytes with today's values).
// Returns the same text on every call.
[[nodiscard]] std::string clientCodeRequirement();

}  // namespace tavelin::PrivilegedHelperInfo
