#include "TavelinShared/PrivilegedOperation.h"

#include <algorithm>
#include <utility>

#include "DecodingSupport.h"
#include "JsonWriter.h"
#include "SelectiveJsonReader.h"
#include "TavelinShared/UnicodeText.h"

namespace tavelin {

namespace {

using Json = nlohmann::json;
using json::CodingPath;
using json::JsonSelection;
using json::JsonType;

constexpr std::string_view removeSystemPathsName = "removeSystemPaths";
constexpr std::string_view installSystemUpdatesName = "installSystemUpdates";
constexpr std::string_view repairPermissionsName = "repairPermissions";
constexpr std::string_view pathsName = "_0";
constexpr std::string_view pathName = "path";

// What decoding looks at: the three alternatives' members and, inside their payload
// objects, "_0" with its elements and "path". Everything else is only checked.
const JsonSelection& requestSelection() {
    static const JsonSelection selection = [] {
        JsonSelection paths;
        paths.keepElements = true;
        JsonSelection removePayload;
        removePayload.members.push_back({std::string(pathsName), paths});
        JsonSelection repairPayload;
        repairPayload.members.push_back({std::string(pathName), JsonSelection{}});
        JsonSelection request;
        request.members.push_back({std::string(removeSystemPathsName), removePayload});
        request.members.push_back({std::string(installSystemUpdatesName), JsonSelection{}});
        request.members.push_back({std::string(repairPermissionsName), repairPayload});
        return request;
    }();
    return selection;
}

Expected<PrivilegedOperation, DecodingError> decodeRemoval(Json& payload,
                                                           const CodingPath& payloadPath) {
    Json* list = json::findMember(payload, pathsName);
    if (list == nullptr) {
        return json::keyNotFound(payloadPath, pathsName);
    }
    const CodingPath listPath = json::appended(payloadPath, std::string(pathsName));
    if (auto typed = json::expectType(*list, JsonType::array, listPath); !typed) {
        return Unexpected(std::move(typed).error());
    }
    auto& elements = list->get_ref<Json::array_t&>();
    std::vector<std::string> paths;
    paths.reserve(elements.size());
    for (std::size_t index = 0; index < elements.size(); ++index) {
        Json& element = elements[index];
        if (auto typed = json::expectType(element, JsonType::string,
                                          json::appended(listPath, json::indexStep(index)));
            !typed) {
            return Unexpected(std::move(typed).error());
        }
        paths.push_back(std::move(element.get_ref<std::string&>()));
    }
    return PrivilegedOperation::removeSystemPaths(std::move(paths));
}

Expected<PrivilegedOperation, DecodingError> decodeRepair(Json& payload,
                                                          const CodingPath& payloadPath) {
    Json* path = json::findMember(payload, pathName);
    if (path == nullptr) {
        return json::keyNotFound(payloadPath, pathName);
    }
    if (auto typed = json::expectType(*path, JsonType::string,
                                      json::appended(payloadPath, std::string(pathName)));
        !typed) {
        return Unexpected(std::move(typed).error());
    }
    return PrivilegedOperation::repairPermissions(std::move(path->get_ref<std::string&>()));
}

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

Expected<PrivilegedOperation, DecodingError> PrivilegedOperation::decode(std::string_view bytes) {
    Expected<json::SelectedJson, DecodingError> document =
        json::readSelectedJson(bytes, requestSelection());
    if (!document) {
        return Unexpected(document.error());
    }
    Json root = std::move(std::move(document).value().root);
    if (auto typed = json::expectType(root, JsonType::object, {}); !typed) {
        return Unexpected(std::move(typed).error());
    }
    // Only recognised names were kept, so the object's size is their count. It is checked
    // before any payload is looked at.
    if (root.size() != 1) {
        return Unexpected(DecodingError{DecodingErrorKind::typeMismatch,
                                        {},
                                        "Invalid number of keys found, expected one.",
                                        "PrivilegedOperation"});
    }
    auto& [name, payload] = *root.get_ref<Json::object_t&>().begin();
    const CodingPath payloadPath{name};
    if (auto typed = json::expectType(payload, JsonType::object, payloadPath); !typed) {
        return Unexpected(std::move(typed).error());
    }
    if (name == removeSystemPathsName) {
        return decodeRemoval(payload, payloadPath);
    }
    if (name == repairPermissionsName) {
        return decodeRepair(payload, payloadPath);
    }
    return installSystemUpdates();
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
