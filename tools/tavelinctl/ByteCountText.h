#pragma once

#include <cstdint>
#include <string>

namespace tavelin::tavelinctl {

// A byte count for people, in decimal units with one German decimal place, as the German
// messages beside it: "0 Bytes", "1 Byte", "999 Bytes", "1,0 kB", "1,5 MB", "20,0 GB",
// up to "EB". Rounded half up to the nearest tenth of the unit; a count that rounds to
// 1000,0 of one unit is shown in the next ("999999 Bytes" is "1,0 MB"). Negative counts
// (the daemon never reports one) get a leading "-". Never fails.
[[nodiscard]] std::string humanByteCount(std::int64_t bytes);

}  // namespace tavelin::tavelinctl
