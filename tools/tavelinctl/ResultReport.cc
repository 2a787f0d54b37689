#include "ResultReport.h"

#include <charconv>

#include "ByteCountText.h"

namespace tavelin::tavelinctl {

long long removedPathCount(std::string_view message) {
    constexpr std::string_view removedPart = " Pfade entfernt";
    long long count = -1;
    const auto [end, failure] =
        std::from_chars(message.data(), message.data() + message.size(), count);
    if (failure != std::errc() || count < 0 ||
        !std::string_view(end, message.data() + message.size()).starts_with(removedPart)) {
        return -1;
    }
    return count;
}

Report reportFor(const Command& command, const PrivilegedResult& result) {
    if (!result.success() && result.message() == notAuthorizedMessage) {
        return {exitOperationFailed,
                "tavelinctl: not authorised: the system's policy (polkit) does not let this "
                "user have that done; nothing was changed (" +
                    result.message() + ")\n"};
    }
    bool complete = result.success();
    std::string line = result.message();
    if (command.kind == Command::Kind::remove) {
        line += " (" + humanByteCount(result.freedBytes()) + " freigegeben)";
        // Anything but a summary counting every path is not a complete removal.
        complete = complete && removedPathCount(result.message()) ==
                                   static_cast<long long>(command.arguments.size());
    }
    return {complete ? exitSuccess : exitOperationFailed, line + "\n"};
}

}  // namespace tavelin::tavelinctl
