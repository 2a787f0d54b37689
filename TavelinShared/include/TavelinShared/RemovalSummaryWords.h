#pragma once

#include <string_view>

// The words of a removal's result message,
//   "<n> Pfade entfernt[, <n> durch Policy abgelehnt][, <n> fehlgeschlagen]":
// the daemon writes them, and clients read the counts back (readRemovalSummary).
namespace tavelin::RemovalSummaryWords {

inline constexpr std::string_view removed = " Pfade entfernt";
inline constexpr std::string_view separator = ", ";
inline constexpr std::string_view refused = " durch Policy abgelehnt";
inline constexpr std::string_view failed = " fehlgeschlagen";

}  // namespace tavelin::RemovalSummaryWords
