#include "SelectiveJsonReader.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "TavelinShared/UnicodeText.h"

namespace tavelin::json {

namespace {

using Json = nlohmann::json;

constexpr std::size_t maxDescriptionBytes = 300;

// Descriptions may quote document text of any size and any bytes; keep them short and
// valid UTF-8 (a cut through a multi-byte sequence becomes U+FFFD).
std::string shortened(std::string_view text) {
    return UnicodeText::decodeUtf8Lossy(text.substr(0, std::min(text.size(), maxDescriptionBytes)));
}

DecodingError corrupted(std::string description) {
    return DecodingError{DecodingErrorKind::dataCorrupted, {}, std::move(description)};
}

// The member names of one open object. On a deeply nested chain almost every object has a
// single member, so the set is made only when a second name arrives. An ordered set rather
// than a hash set: a peer cannot pick names that make every insertion slow.
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
// handlers iteratively, so nothing here recurses on the document's depth either.
// The method names are fixed by nlohmann's SAX interface.
// NOLINTBEGIN(readability-identifier-naming)
class SelectingHandler final : public nlohmann::json_sax<Json> {
  public:
    explicit SelectingHandler(const JsonSelection& selection) : rootSelection_(selection) {}

    bool null() override { return keep(Json(nullptr)); }
    bool boolean(bool value) override { return keep(Json(value)); }
    bool number_integer(number_integer_t value) override { return keep(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return keep(Json(value)); }
    bool number_float(number_float_t value, const string_t& /*text*/) override {
        return keep(Json(value));
    }
    bool string(string_t& value) override { return keep(Json(std::move(value))); }
    // Only the binary formats produce these; the JSON lexer never does.
    bool binary(binary_t& /*value*/) override { return fail(corrupted("Binary value in JSON.")); }

    bool start_object(std::size_t /*elements*/) override {
        openObjects_.emplace_back();
        return open(Json::object());
    }
    bool key(string_t& name) override;
    bool end_object() override {
        openObjects_.pop_back();
        return close();
    }
    bool start_array(std::size_t /*elements*/) override { return open(Json::array()); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t /*position*/, const std::string& /*lastToken*/,
                     const nlohmann::detail::exception& error) override {
        return fail(corrupted("The given data was not valid JSON: " + shortened(error.what())));
    }

    [[nodiscard]] Status<DecodingError>& outcome() { return outcome_; }
    [[nodiscard]] Json& root() { return root_; }

  private:
    // A kept container whose selected contents are still arriving.
    struct Filling {
        Json* target;
        const JsonSelection* selection;
    };

    const JsonSelection* selectionOfNextValue() const;
    Json* place(Json value);
    bool keep(Json value);
    bool open(Json container);
    bool close();

    bool fail(DecodingError error) {
        outcome_ = Unexpected(std::move(error));
        return false;
    }

    const JsonSelection& rootSelection_;
    Json root_;
    std::vector<Filling> filling_;
    // Containers entered since the current unkept value began; 0 outside such values.
    std::size_t skipDepth_ = 0;
    // The selection and name of the member whose value comes next, or nullptr when that
    // member is not kept.
    const JsonSelection* nextMember_ = nullptr;
    std::string nextMemberName_;
    std::vector<MemberNames> openObjects_;
    Status<DecodingError> outcome_;  // the first failure ends the parse
};
// NOLINTEND(readability-identifier-naming)

const JsonSelection emptySelection{};

bool SelectingHandler::key(string_t& name) {
    if (!openObjects_.back().add(name)) {
        return fail(corrupted("The member name \"" + shortened(name) +
                              "\" is given more than once in one object."));
    }
    if (skipDepth_ == 0) {
        // Not skipping means the innermost open object is the one being filled.
        const auto& members = filling_.back().selection->members;
        const auto found =
            std::find_if(members.begin(), members.end(),
                         [&](const JsonSelection::Member& m) { return m.name == name; });
        nextMember_ = found == members.end() ? nullptr : &found->selection;
        if (nextMember_ != nullptr) {
            nextMemberName_ = name;
        }
    }
    return true;
}

const JsonSelection* SelectingHandler::selectionOfNextValue() const {
    if (skipDepth_ > 0) {
        return nullptr;
    }
    if (filling_.empty()) {
        return &rootSelection_;
    }
    const Filling& parent = filling_.back();
    if (parent.target->is_object()) {
        return nextMember_;
    }
    return parent.selection->keepElements ? &emptySelection : nullptr;
}

// Precondition: selectionOfNextValue() != nullptr.
Json* SelectingHandler::place(Json value) {
    if (filling_.empty()) {
        root_ = std::move(value);
        return &root_;
    }
    Json& parent = *filling_.back().target;
    if (parent.is_object()) {
        auto& members = parent.get_ref<Json::object_t&>();
        return &members.emplace(std::move(nextMemberName_), std::move(value)).first->second;
    }
    auto& elements = parent.get_ref<Json::array_t&>();
    elements.push_back(std::move(value));
    return &elements.back();
}

bool SelectingHandler::keep(Json value) {
    if (selectionOfNextValue() != nullptr) {
        place(std::move(value));
    }
    return true;
}

bool SelectingHandler::open(Json container) {
    if (skipDepth_ > 0) {
        ++skipDepth_;
        return true;
    }
    const JsonSelection* selection = selectionOfNextValue();
    if (selection == nullptr) {
        skipDepth_ = 1;
        return true;
    }
    const bool descends =
        container.is_object() ? !selection->members.empty() : selection->keepElements;
    // The pointer stays valid while this container is open: its parent gains no further
    // member or element until it closes.
    Json* slot = place(std::move(container));
    if (descends) {
        filling_.push_back(Filling{slot, selection});
    } else {
        skipDepth_ = 1;  // kept, but empty
    }
    return true;
}

bool SelectingHandler::close() {
    if (skipDepth_ > 0) {
        --skipDepth_;
    } else {
        filling_.pop_back();
    }
    return true;
}

}  // namespace

Expected<SelectedJson, DecodingError> readSelectedJson(std::string_view bytes,
                                                       const JsonSelection& selection) {
    try {
        SelectingHandler handler(selection);
        const bool read = Json::sax_parse(bytes.data(), bytes.data() + bytes.size(), &handler,
                                          Json::input_format_t::json, /*strict=*/true,
                                          /*ignore_comments=*/false);
        if (!handler.outcome()) {
            return Unexpected(std::move(handler.outcome()).error());
        }
        if (!read) {
            return Unexpected(corrupted("The given data was not valid JSON."));
        }
        return SelectedJson{std::move(handler.root())};
    } catch (const std::exception& error) {
        // Memory exhaustion while reading a huge document; nothing else in here throws.
        return Unexpected(
            corrupted(std::string("The document could not be read: ") + error.what()));
    }
}

}  // namespace tavelin::json
