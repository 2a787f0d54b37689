// PrivilegedOperation::decode: a request read straight into the operation's strings, or
// with its paths handed on as they are read (decodeWithPathsTo).
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/internal/RemovalPathSink.h"
#include "TavelinShared/src/DecodingSupport.h"
#include "TavelinShared/src/StrictJsonReader.h"
#include "TavelinShared/src/WireNames.h"

namespace tavelin {

namespace {

using json::CodingPath;
using json::JsonReceiver;
using json::JsonType;
using json::JsonValue;
using namespace wire;

// The parts of a request that decoding looks at.
enum RequestPlace : JsonReceiver::Place {
    rootPlace = JsonReceiver::rootPlace,
    removalPayload,  // the values of the three alternatives' members
    installPayload,
    repairPayload,
    pathList,     // removeSystemPaths' "_0"
    pathElement,  // its elements
    repairPath,   // repairPermissions' "path"
};

// What arrived at those places. A member that did not arrive has no type.
struct ReceivedRequest {
    JsonType rootType = JsonType::null;
    std::optional<JsonType> removal, install, repair;
    std::optional<JsonType> pathListType;
    std::size_t elementCount = 0;  // the paths go to the sink while every one is a string
    std::optional<JsonType> firstOtherElementType;
    std::size_t firstOtherElement = 0;
    std::optional<JsonType> repairPathType;
    std::string path;
};

class RequestReceiver final : public JsonReceiver {
  public:
    explicit RequestReceiver(RemovalPathSink& paths) noexcept : paths_(paths) {}

    [[nodiscard]] Place memberPlace(Place object, std::string_view name) const override {
        switch (object) {
            case rootPlace:
                if (name == removeSystemPathsName) {
                    return removalPayload;
                }
                if (name == installSystemUpdatesName) {
                    return installPayload;
                }
                return name == repairPermissionsName ? repairPayload : ignored;
            case removalPayload:
                return name == pathsName ? pathList : ignored;
            case repairPayload:
                return name == pathName ? repairPath : ignored;
            default:
                return ignored;
        }
    }

    [[nodiscard]] Place elementPlace(Place array) const override {
        return array == pathList ? pathElement : ignored;
    }

    [[nodiscard]] Status<DecodingError> receive(Place place, JsonValue& value) override;

    void restart() override {
        received_ = ReceivedRequest{};
        paths_.clear();
    }

    // The operation the whole document makes, once it has been read without failure.
    [[nodiscard]] Expected<PrivilegedOperation, DecodingError> operation();

  private:
    Expected<PrivilegedOperation, DecodingError> removal();
    Expected<PrivilegedOperation, DecodingError> repair();

    ReceivedRequest received_;
    RemovalPathSink& paths_;
};

// The paths of a removal kept as PrivilegedOperation keeps them.
class PathVector final : public RemovalPathSink {
  public:
    bool add(std::string& path) override {
        paths.push_back(std::move(path));
        return true;
    }
    void clear() noexcept override { paths = std::vector<std::string>(); }

    std::vector<std::string> paths;
};

Status<DecodingError> RequestReceiver::receive(Place place, JsonValue& value) {
    switch (place) {
        case rootPlace:
            received_.rootType = value.type;
            break;
        case removalPayload:
            received_.removal = value.type;
            break;
        case installPayload:
            received_.install = value.type;
            break;
        case repairPayload:
            received_.repair = value.type;
            break;
        case pathList:
            received_.pathListType = value.type;
            break;
        case pathElement:
            if (received_.elementCount == PrivilegedOperation::maxRemovalPaths) {
                return Unexpected(DecodingError{
                    DecodingErrorKind::dataCorrupted,
                    {std::string(removeSystemPathsName), std::string(pathsName)},
                    "More than " + std::to_string(PrivilegedOperation::maxRemovalPaths) +
                        " paths in one removal."});
            }
            if (received_.firstOtherElementType) {
                // The list fails at an earlier element; only the count still matters.
            } else if (value.type == JsonType::string) {
                if (!paths_.add(*value.string)) {
                    return Unexpected(json::unreadable());
                }
            } else {
                received_.firstOtherElementType = value.type;
                received_.firstOtherElement = received_.elementCount;
                paths_.clear();  // freed now, not at the end
            }
            ++received_.elementCount;
            break;
        case repairPath:
            received_.repairPathType = value.type;
            if (value.type == JsonType::string) {
                received_.path = std::move(*value.string);
            }
            break;
        default:
            break;
    }
    return {};
}

Expected<PrivilegedOperation, DecodingError> RequestReceiver::operation() {
    if (auto typed = json::expectType(received_.rootType, JsonType::object, {}); !typed) {
        return Unexpected(std::move(typed).error());
    }
    // The alternatives' names are counted before any payload is looked at.
    const int alternatives = static_cast<int>(received_.removal.has_value()) +
                             static_cast<int>(received_.install.has_value()) +
                             static_cast<int>(received_.repair.has_value());
    if (alternatives != 1) {
        return Unexpected(DecodingError{DecodingErrorKind::typeMismatch,
                                        {},
                                        "Invalid number of keys found, expected one.",
                                        "PrivilegedOperation"});
    }
    if (received_.removal) {
        return removal();
    }
    if (received_.repair) {
        return repair();
    }
    if (auto typed = json::expectType(*received_.install, JsonType::object,
                                      {std::string(installSystemUpdatesName)});
        !typed) {
        return Unexpected(std::move(typed).error());
    }
    return PrivilegedOperation::installSystemUpdates();
}

Expected<PrivilegedOperation, DecodingError> RequestReceiver::removal() {
    const CodingPath payloadPath{std::string(removeSystemPathsName)};
    if (auto typed = json::expectType(*received_.removal, JsonType::object, payloadPath); !typed) {
        return Unexpected(std::move(typed).error());
    }
    if (!received_.pathListType) {
        return json::keyNotFound(payloadPath, pathsName);
    }
    const CodingPath listPath = json::appended(payloadPath, std::string(pathsName));
    if (auto typed = json::expectType(*received_.pathListType, JsonType::array, listPath); !typed) {
        return Unexpected(std::move(typed).error());
    }
    if (received_.firstOtherElementType) {
        return Unexpected(
            json::expectType(*received_.firstOtherElementType, JsonType::string,
                             json::appended(listPath, json::indexStep(received_.firstOtherElement)))
                .error());
    }
    return PrivilegedOperation::removeSystemPaths({});  // the paths are the sink's
}

Expected<PrivilegedOperation, DecodingError> RequestReceiver::repair() {
    const CodingPath payloadPath{std::string(repairPermissionsName)};
    if (auto typed = json::expectType(*received_.repair, JsonType::object, payloadPath); !typed) {
        return Unexpected(std::move(typed).error());
    }
    if (!received_.repairPathType) {
        return json::keyNotFound(payloadPath, pathName);
    }
    if (auto typed = json::expectType(*received_.repairPathType, JsonType::string,
                                      json::appended(payloadPath, std::string(pathName)));
        !typed) {
        return Unexpected(std::move(typed).error());
    }
    return PrivilegedOperation::repairPermissions(std::move(received_.path));
}

}  // namespace

Expected<PrivilegedOperation, DecodingError> decodeWithPathsTo(std::string_view bytes,
                                                               RemovalPathSink& sink) {
    try {
        RequestReceiver receiver(sink);
        if (auto read = json::readJson(bytes, receiver); !read) {
            return Unexpected(std::move(read).error());
        }
        return receiver.operation();
    } catch (const std::exception&) {
        // Memory ran out while making an error; the reader catches its own.
        return Unexpected(json::unreadable());
    }
}

Expected<PrivilegedOperation, DecodingError> PrivilegedOperation::decode(std::string_view bytes) {
    PathVector paths;
    auto decoded = decodeWithPathsTo(bytes, paths);
    if (!decoded) {
        return Unexpected(std::move(decoded).error());
    }
    if (std::holds_alternative<RemoveSystemPaths>(decoded->payload())) {
        return removeSystemPaths(std::move(paths.paths));
    }
    return std::move(decoded).value();
}

}  // namespace tavelin
