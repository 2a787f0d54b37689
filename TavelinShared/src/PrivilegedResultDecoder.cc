// PrivilegedResult::decode: a result read straight into its fields.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/src/DecodingSupport.h"
#include "TavelinShared/src/StrictJsonReader.h"
#include "TavelinShared/src/WireNames.h"

namespace tavelin {

namespace {

using json::JsonReceiver;
using json::JsonType;
using json::JsonValue;
using namespace wire;

// The parts of a result that decoding looks at.
enum ResultPlace : JsonReceiver::Place {
    rootPlace = JsonReceiver::rootPlace,
    successPlace,
    messagePlace,
    freedBytesPlace,
};

// What arrived at those places. A member that did not arrive has no type.
struct ReceivedResult {
    JsonType rootType = JsonType::null;
    std::optional<JsonType> successType, messageType, freedBytesType;
    bool success = false;
    std::string message;
    std::optional<std::int64_t> freedBytes;  // when an integer in the signed 64-bit range
};

class ResultReceiver final : public JsonReceiver {
  public:
    [[nodiscard]] Place memberPlace(Place object, std::string_view name) const override {
        if (object != rootPlace) {
            return ignored;
        }
        if (name == successName) {
            return successPlace;
        }
        if (name == messageName) {
            return messagePlace;
        }
        return name == freedBytesName ? freedBytesPlace : ignored;
    }

    [[nodiscard]] Place elementPlace(Place /*array*/) const override { return ignored; }

    [[nodiscard]] Status<DecodingError> receive(Place place, JsonValue& value) override {
        switch (place) {
            case rootPlace:
                received_.rootType = value.type;
                break;
            case successPlace:
                received_.successType = value.type;
                received_.success = value.boolean;
                break;
            case messagePlace:
                received_.messageType = value.type;
                if (value.type == JsonType::string) {
                    received_.message = std::move(*value.string);
                }
                break;
            case freedBytesPlace:
                received_.freedBytesType = value.type;
                received_.freedBytes = value.integer;
                break;
            default:
                break;
        }
        return {};
    }

    void restart() override { received_ = ReceivedResult{}; }

    // The result the whole document makes, once it has been read without failure.
    [[nodiscard]] Expected<PrivilegedResult, DecodingError> result();

  private:
    ReceivedResult received_;
};

// A member that must be present and of type `expected`.
Status<DecodingError> expectMember(const std::optional<JsonType>& found, std::string_view name,
                                   JsonType expected) {
    if (!found) {
        return json::keyNotFound({}, name);
    }
    return json::expectType(*found, expected, {std::string(name)});
}

Expected<PrivilegedResult, DecodingError> ResultReceiver::result() {
    if (auto typed = json::expectType(received_.rootType, JsonType::object, {}); !typed) {
        return Unexpected(std::move(typed).error());
    }
    // The first bad member in the order success, message, freedBytes decides.
    if (auto member = expectMember(received_.successType, successName, JsonType::boolean);
        !member) {
        return Unexpected(std::move(member).error());
    }
    if (auto member = expectMember(received_.messageType, messageName, JsonType::string); !member) {
        return Unexpected(std::move(member).error());
    }
    if (auto member = expectMember(received_.freedBytesType, freedBytesName, JsonType::number);
        !member) {
        return Unexpected(std::move(member).error());
    }
    // freedBytes must be an integer in the signed 64-bit range, however it is written (1.0,
    // 1e3): a fraction or a value beyond the range is refused rather than rounded.
    if (!received_.freedBytes) {
        return Unexpected(
            DecodingError{DecodingErrorKind::dataCorrupted,
                          {std::string(freedBytesName)},
                          "The number is not an integer in the signed 64-bit range."});
    }
    return PrivilegedResult(received_.success, std::move(received_.message), *received_.freedBytes);
}

}  // namespace

Expected<PrivilegedResult, DecodingError> PrivilegedResult::decode(std::string_view bytes) {
    try {
        ResultReceiver receiver;
        if (auto read = json::readJson(bytes, receiver); !read) {
            return Unexpected(std::move(read).error());
        }
        return receiver.result();
    } catch (const std::exception&) {
        // Memory ran out while making an error; the reader catches its own.
        return Unexpected(json::unreadable());
    }
}

}  // namespace tavelin
