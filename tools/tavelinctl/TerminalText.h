#pragma once

#include <string>
#include <string_view>

namespace tavelin::tavelinctl {

// `text` quoted for a terminal: well-formed UTF-8 stays as it is; each byte of an
// ill-formed sequence and each ASCII control character is shown as \xHH, and '"' and '\\'
// are escaped, so the user sees exactly which bytes are at fault.
[[nodiscard]] std::string shownForTerminal(std::string_view text);

}  // namespace tavelin::tavelinctl
