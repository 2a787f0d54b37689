#include "TavelinShared/src/StrictJsonReader.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>
#include <vector>

#include "TavelinShared/UnicodeText.h"
#include "TavelinShared/src/JsonNumber.h"
#include "TavelinShared/src/JsonOverflow.h"

namespace tavelin::json {

namespace {

// Names the types of nlohmann's SAX interface; no value of it is ever made here.
using Json = nlohmann::json;
using Place = JsonReceiver::Place;

constexpr std::size_t maxDescriptionBytes = 300;

// Short enough for the string's own buffer (see unreadable()).
constexpr std::string_view unreadableDescription = "Could not read.";

// The id of nlohmann's error for a number beyond a double's range.
constexpr int numberOverflowError = 406;

// Descriptions may quote document text of any size and any bytes; keep them short and
// valid UTF-8 (a cut through a multi-byte sequence becomes U+FFFD).
std::string shortened(std::string_view text) {
    return UnicodeText::decodeUtf8Lossy(text.substr(0, std::min(text.size(), maxDescriptionBytes)));
}

JsonValue valueOf(JsonType type) {
    JsonValue value;
    value.type = type;
    return value;
}

DecodingError corrupted(std::string description) {
    return DecodingError{DecodingErrorKind::dataCorrupted, {}, std::move(description)};
}

// The member names of one open object at a place. On a deeply nested chain almost every
// object has a single member, so the set is made only when a second name arrives. An
// ordered set rather than a hash set: a peer cannot pick names that make every insertion
// slow.
class MemberNames {
  public:
    // False when `name` was already given in this object.
    bool add(const std::string& name) {
        if (!hasFirst_) {
            first_ = name;
            hasFirst_ = true;
            return true;
        }
        if (!later_) {
            later_ = std::make_unique<std::set<std::string, std::less<>>>();
            later_->insert(std::move(first_));
        }
        return later_->insert(name).second;
    }

  private:
    std::string first_;
    bool hasFirst_ = false;
    std::unique_ptr<std::set<std::string, std::less<>>> later_;
};

// nlohmann's SAX parser keeps its own nesting state in a bit vector and calls these
// handlers iteratively, so nothing here recurses on the document's depth either. None of
// them is noexcept: an allocation failure anywhere unwinds through nlohmann's parser to
// readJson, destroying only strings, vectors and sets on the way.
// The method names are fixed by nlohmann's SAX interface.
// NOLINTBEGIN(readability-identifier-naming)
class ReadingHandler final : public nlohmann::json_sax<Json> {
  public:
    explicit ReadingHandler(JsonReceiver& receiver) : receiver_(receiver) {}

    bool null() override { return scalar(valueOf(JsonType::null)); }
    bool boolean(bool boolean) override {
        JsonValue value = valueOf(JsonType::boolean);
        value.boolean = boolean;
        return scalar(value);
    }
    bool number_integer(number_integer_t number) override {
        JsonValue value = valueOf(JsonType::number);
        value.integer = number;
        return scalar(value);
    }
    bool number_unsigned(number_unsigned_t number) override {
        constexpr auto largest =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        JsonValue value = valueOf(JsonType::number);
        if (number <= largest) {
            value.integer = static_cast<std::int64_t>(number);
        }
        return scalar(value);
    }
    bool number_float(number_float_t /*number*/, const string_t& text) override {
        if (nextPlace() == JsonReceiver::ignored) {
            return true;  // spare the digits a second look
        }
        JsonValue value = valueOf(JsonType::number);
        value.integer = exactInteger(text);
        return scalar(value);
    }
    bool string(string_t& text) override {
        JsonValue value = valueOf(JsonType::string);
        value.string = &text;
        return scalar(value);
    }
    // Only the binary formats produce these; the JSON lexer never does.
    bool binary(binary_t& /*value*/) override { return fail(corrupted("Binary value in JSON.")); }

    bool start_object(std::size_t /*elements*/) override { return open(JsonType::object); }
    bool key(string_t& name) override;
    bool end_object() override { return close(); }
    bool start_array(std::size_t /*elements*/) override { return open(JsonType::array); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t /*position*/, const std::string& /*lastToken*/,
                     const Json::exception& error) override {
        overflowed_ = error.id == numberOverflowError;
        return fail(corrupted("The given data was not valid JSON: " + shortened(error.what())));
    }

    [[nodiscard]] Status<DecodingError>& outcome() { return outcome_; }
    // Whether the parse stopped at a number too large for a double.
    [[nodiscard]] bool overflowed() const { return overflowed_; }

  private:
    // An object or array at a place whose contents are still arriving.
    struct OpenContainer {
        Place place;
        // The place of the value that comes next: every element's for an array, the
        // member's whose name came last for an object.
        Place next;
        MemberNames names;  // objects only
    };

    Place nextPlace() const {
        if (skipDepth_ > 0) {
            return JsonReceiver::ignored;
        }
        return open_.empty() ? JsonReceiver::rootPlace : open_.back().next;
    }

    bool scalar(JsonValue value) {
        const Place place = nextPlace();
        return place == JsonReceiver::ignored || deliver(place, value);
    }

    bool open(JsonType type) {
        const Place place = nextPlace();
        if (place == JsonReceiver::ignored) {
            ++skipDepth_;
            return true;
        }
        JsonValue value = valueOf(type);
        if (!deliver(place, value)) {
            return false;
        }
        const Place next =
            type == JsonType::array ? receiver_.elementPlace(place) : JsonReceiver::ignored;
        open_.push_back(OpenContainer{place, next, {}});
        return true;
    }

    bool close() {
        if (skipDepth_ > 0) {
            --skipDepth_;
        } else {
            open_.pop_back();
        }
        return true;
    }

    bool deliver(Place place, JsonValue& value) {
        Status<DecodingError> received = receiver_.receive(place, value);
        return received || fail(std::move(received).error());
    }

    bool fail(DecodingError error) {
        outcome_ = Unexpected(std::move(error));
        return false;
    }

    JsonReceiver& receiver_;
    // Open containers at places, innermost last; as many as the receiver's places are deep.
    std::vector<OpenContainer> open_;
    // Containers entered since the current ignored value began; 0 outside such values.
    std::size_t skipDepth_ = 0;
    Status<DecodingError> outcome_;  // the first failure ends the parse
    bool overflowed_ = false;
};
// NOLINTEND(readability-identifier-naming)

bool ReadingHandler::key(string_t& name) {
    if (skipDepth_ > 0) {
        return true;
    }
    // Not skipping means the innermost open container is an object at a place, whose
    // contents or type a decoder looks at: a repeated name would give it two readings.
    OpenContainer& object = open_.back();
    if (!object.names.add(name)) {
        return fail(corrupted("The member name \"" + shortened(name) +
                              "\" is given more than once in one object."));
    }
    object.next = receiver_.memberPlace(object.place, name);
    return true;
}

// One parse of `text`. `overflowed` tells whether it stopped at a number beyond a double's
// range.
Status<DecodingError> readOnce(std::string_view text, JsonReceiver& receiver, bool& overflowed) {
    ReadingHandler handler(receiver);
    const bool read = Json::sax_parse(text.data(), text.data() + text.size(), &handler,
                                      Json::input_format_t::json, /*strict=*/true,
                                      /*ignore_comments=*/false);
    overflowed = handler.overflowed();
    if (!handler.outcome()) {
        return Unexpected(std::move(handler.outcome()).error());
    }
    if (!read) {
        return Unexpected(corrupted("The given data was not valid JSON."));
    }
    return {};
}

}  // namespace

Status<DecodingError> readJson(std::string_view bytes, JsonReceiver& receiver) {
    try {
        bool overflowed = false;
        {
            Status<DecodingError> read = readOnce(bytes, receiver, overflowed);
            if (!overflowed) {
                return read;
            }
        }
        receiver.restart();  // what the stopped parse handed over is freed first
        std::string finite(bytes);
        replaceOverflows(bytes, finite);
        return readOnce(finite, receiver, overflowed);
    } catch (const std::exception&) {
        // Memory ran out; nothing else in here throws.
        return Unexpected(unreadable());
    }
}

DecodingError unreadable() noexcept {
    return DecodingError{DecodingErrorKind::dataCorrupted, {}, std::string(unreadableDescription)};
}

}  // namespace tavelin::json
