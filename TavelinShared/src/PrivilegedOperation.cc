#include "TavelinShared/PrivilegedOperation.h"

#include <algorithm>
#include <utility>

#include "DecodingSupport.h"
#include "JsonWriter.h"
#include "TavelinShared/UnicodeText.h"
#include "WireNames.h"

namespace tavelin {

namespace {

using namespace wire;

bool sameText(const std::string& lhs, const std::string& rhs) {
    return UnicodeText::canonicallyEqual(lhs, rhs);
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
    std::string out = "{\"";
    if (const auto* removal = std::get_if<RemoveSystemPaths>(&payload_)) {
        out += removeSystemPathsName;
        out += "\":{\"";
        out += pathsName;
        out += "\":[";
        for (std::size_t index = 0; index < removal->paths.size(); ++index) {
            if (index > 0) {
                out += ',';
            }
            if (!json::appendString(out, removal->paths[index])) {
                return Unexpected(json::notUtf8({std::string(removeSystemPathsName),
                                                 std::string(pathsName), json::indexStep(index)}));
            }
        }
        out += "]}}";
    } else if (const auto* repair = std::get_if<RepairPermissions>(&payload_)) {
        out += repairPermissionsName;
        out += "\":{\"";
        out += pathName;
        out += "\":";
        if (!json::appendString(out, repair->path)) {
            return Unexpected(
                json::notUtf8({std::string(repairPermissionsName), std::string(pathName)}));
        }
        out += "}}";
    } else {
        out += installSystemUpdatesName;
        out += "\":{}}";
    }
    return out;
}

std::string PrivilegedOperation::auditDescription() const {
    if (const auto* removal = std::get_if<RemoveSystemPaths>(&payload_)) {
        return "System-Pfade entfernen (" + std::to_string(removal->paths.size()) +
               " Eintr\u00E4ge)";
    }
    if (const auto* repair = std::get_if<RepairPermissions>(&payload_)) {
        return "Rechte reparieren: " + repair->path;
    }
    return "macOS-Systemupdates installieren";
}

bool operator==(const PrivilegedOperation& lhs, const PrivilegedOperation& rhs) {
    using Op = PrivilegedOperation;
    if (lhs.payload_.index() != rhs.payload_.index()) {
        return false;
    }
    if (const auto* left = std::get_if<Op::RemoveSystemPaths>(&lhs.payload_)) {
        const auto& right = std::get<Op::RemoveSystemPaths>(rhs.payload_);
        return std::equal(left->paths.begin(), left->paths.end(), right.paths.begin(),
                          right.paths.end(), sameText);
    }
    if (const auto* left = std::get_if<Op::RepairPermissions>(&lhs.payload_)) {
        return sameText(left->path, std::get<Op::RepairPermissions>(rhs.payload_).path);
    }
    return true;  // two installSystemUpdates
}

}  // namespace tavelin
