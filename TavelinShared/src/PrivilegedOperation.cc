#include "TavelinShared/PrivilegedOperation.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

#include "TavelinShared/UnicodeText.h"
#include "TavelinShared/internal/Overloaded.h"
#include "TavelinShared/src/DecodingSupport.h"
#include "TavelinShared/src/JsonWriter.h"
#include "TavelinShared/src/WireNames.h"

namespace tavelin {

namespace {

using namespace wire;

bool sameText(const std::string& lhs, const std::string& rhs) {
    return UnicodeText::canonicallyEqual(lhs, rhs);
}

// One overload per alternative: one without it does not compile in operator==.
bool samePayload(const PrivilegedOperation::RemoveSystemPaths& left,
                 const PrivilegedOperation::RemoveSystemPaths& right) {
    return std::equal(left.paths.begin(), left.paths.end(), right.paths.begin(), right.paths.end(),
                      sameText);
}

bool samePayload(const PrivilegedOperation::RepairPermissions& left,
                 const PrivilegedOperation::RepairPermissions& right) {
    return sameText(left.path, right.path);
}

bool samePayload(const PrivilegedOperation::InstallSystemUpdates& /*left*/,
                 const PrivilegedOperation::InstallSystemUpdates& /*right*/) {
    return true;
}

Expected<std::string, EncodingError> encodeRemoval(
    const PrivilegedOperation::RemoveSystemPaths& removal) {
    std::string out = "{\"";
    out += removeSystemPathsName;
    out += "\":{\"";
    out += pathsName;
    out += "\":[";
    for (std::size_t index = 0; index < removal.paths.size(); ++index) {
        if (index > 0) {
            out += ',';
        }
        if (!json::appendString(out, removal.paths[index])) {
            return Unexpected(json::notUtf8({std::string(removeSystemPathsName),
                                             std::string(pathsName), json::indexStep(index)}));
        }
    }
    out += "]}}";
    return out;
}

Expected<std::string, EncodingError> encodeRepair(
    const PrivilegedOperation::RepairPermissions& repair) {
    std::string out = "{\"";
    out += repairPermissionsName;
    out += "\":{\"";
    out += pathName;
    out += "\":";
    if (!json::appendString(out, repair.path)) {
        return Unexpected(
            json::notUtf8({std::string(repairPermissionsName), std::string(pathName)}));
    }
    out += "}}";
    return out;
}

}  // namespace

PrivilegedOperation PrivilegedOperation::removeSystemPaths(std::vector<std::string> paths) {
    return PrivilegedOperation(RemoveSystemPaths{std::move(paths)});
}

PrivilegedOperation PrivilegedOperation::installSystemUpdates() {
    return PrivilegedOperation(InstallSystemUpdates{});
}

PrivilegedOperation PrivilegedOperation::repairPermissions(std::string path) {
    return PrivilegedOperation(RepairPermissions{std::move(path)});
}

Expected<std::string, EncodingError> PrivilegedOperation::encode() const {
    return std::visit(
        Overloaded{[](const RemoveSystemPaths& removal) { return encodeRemoval(removal); },
                   [](const RepairPermissions& repair) { return encodeRepair(repair); },
                   [](const InstallSystemUpdates&) -> Expected<std::string, EncodingError> {
                       return "{\"" + std::string(installSystemUpdatesName) + "\":{}}";
                   }},
        payload_);
}

std::string PrivilegedOperation::auditDescription() const {
    return std::visit(Overloaded{[](const RemoveSystemPaths& removal) {
                                     return "System-Pfade entfernen (" +
                                            std::to_string(removal.paths.size()) +
                                            " Eintr\u00E4ge)";
                                 },
                                 [](const RepairPermissions& repair) {
                                     return "Rechte reparieren: " + repair.path;
                                 },
                                 [](const InstallSystemUpdates&) {
                                     return std::string("macOS-Systemupdates installieren");
                                 }},
                      payload_);
}

bool operator==(const PrivilegedOperation& lhs, const PrivilegedOperation& rhs) {
    if (lhs.payload_.index() != rhs.payload_.index()) {
        return false;
    }
    return std::visit(
        [&rhs](const auto& left) {
            return samePayload(left, std::get<std::decay_t<decltype(left)>>(rhs.payload_));
        },
        lhs.payload_);
}

}  // namespace tavelin
