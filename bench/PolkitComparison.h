#pragma once

// The last measure of roundtrip_bench: a perform that needs polkit's yes, against the D-Bus
// service's PerformAuthorized, in a PolkitWorld (tests/e2e/PolkitWorld.h): a private mount
// namespace of this process with a system bus and polkitd of its own. Entering it changes
// the process for good, so it comes after every other measure. Prints one line: the ratio,
// or why it was skipped (not root, no polkitd).
namespace tavelin::bench {

void comparePerformWithPolkit();

}  // namespace tavelin::bench
