#include "tools/tavelinctl/ByteCountText.h"

#include <array>
#include <string_view>

namespace tavelin::tavelinctl {
namespace {

constexpr std::array<std::string_view, 6> unitNames = {"kB", "MB", "GB", "TB", "PB", "EB"};

std::string magnitudeText(std::uint64_t bytes) {
    if (bytes < 1000) {
        return std::to_string(bytes) + (bytes == 1 ? " Byte" : " Bytes");
    }
    // tenths of the unit, rounded half up; integer arithmetic keeps every digit exact.
    std::uint64_t unit = 1000;
    for (std::size_t index = 0; index < unitNames.size(); ++index, unit *= 1000) {
        const std::uint64_t tenth = unit / 10;
        const std::uint64_t tenths = (bytes + tenth / 2) / tenth;
        if (tenths < 10000 || index + 1 == unitNames.size()) {
            return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " " +
                   std::string(unitNames[index]);
        }
    }
    return {};  // not reached: the last unit always answers
}

}  // namespace

std::string humanByteCount(std::int64_t bytes) {
    if (bytes < 0) {
        // Negating INT64_MIN overflows; its magnitude still fits an unsigned 64-bit value.
        const std::uint64_t magnitude = static_cast<std::uint64_t>(-(bytes + 1)) + 1;
        return "-" + magnitudeText(magnitude);
    }
    return magnitudeText(static_cast<std::uint64_t>(bytes));
}

}  // namespace tavelin::tavelinctl
