#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavelin::e2e {

// The command of the stand-in authority (AuthorityStandIn.cc) answering every check with
// (authorized, challenge, {}), run as the one account the bus lets own the authority's
// name. With `record` (a path polkitd's account may write) it gathers checks `gather` at a
// time and records each check's sender and cancellation id there.
inline std::vector<std::string> authorityStandIn(bool authorized, bool challenge,
                                                 std::size_t gather = 1,
                                                 const std::string& record = {}) {
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    std::vector<std::string> command = {
        "/usr/bin/setpriv",         "--reuid=polkitd", "--regid=polkitd", "--clear-groups",
        TAVELIN_AUTHORITY_STAND_IN, flag(authorized),  flag(challenge)};
    if (!record.empty()) {
        command.insert(command.end(), {std::to_string(gather), record});
    }
    return command;
}

}  // namespace tavelin::e2e
