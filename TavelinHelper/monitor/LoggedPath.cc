#include "TavelinHelper/monitor/LoggedPath.h"

namespace tavelin {

std::string loggedPath(std::string_view path) {
    if (path.size() <= maxLoggedPathBytes) {
        return std::string(path);
    }
    std::size_t kept = maxLoggedPathBytes;
    while (kept > 0 && (static_cast<unsigned char>(path[kept]) & 0xC0U) == 0x80U) {
        --kept;  // never cut a character in two
    }
    return std::string(path.substr(0, kept)) + "\u2026 (" + std::to_string(path.size() - kept) +
           " more bytes)";
}

}  // namespace tavelin
