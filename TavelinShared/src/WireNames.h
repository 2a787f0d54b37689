#pragma once

#include <string_view>

// The member names of the request and result documents, shared by their writers and
// readers.
namespace tavelin::wire {

// A request: one member named after its alternative, holding the payload object.
inline constexpr std::string_view removeSystemPathsName = "removeSystemPaths";
inline constexpr std::string_view installSystemUpdatesName = "installSystemUpdates";
inline constexpr std::string_view repairPermissionsName = "repairPermissions";
inline constexpr std::string_view pathsName = "_0";   // removeSystemPaths' list
inline constexpr std::string_view pathName = "path";  // repairPermissions' path

// A result.
inline constexpr std::string_view successName = "success";
inline constexpr std::string_view messageName = "message";
inline constexpr std::string_view freedBytesName = "freedBytes";

}  // namespace tavelin::wire
