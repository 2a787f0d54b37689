#include "SelectiveJsonReader.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
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

bool isDigit(char character) {
    return character >= '0' && character <= '9';
}

// value * 10 + digit, or false when that passes 2^64 - 1.
bool appendDigit(std::uint64_t& value, unsigned digit) {
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        return false;
    }
    value = value * 10 + digit;
    return true;
}

// The value of a JSON number literal when it is an integer in [-2^63, 2^64 - 1], decided
// from its digits alone: 1.0, 1e3, -0.0 and 9.223372036854775807e18 are integers, 1.5 and
// 1e-400 are not. Going through a double would not do: 9007199254740993.0 becomes
// 9007199254740992 there, and 1e-400 becomes 0. Negative values become number_integer and
// others number_unsigned, as nlohmann keeps integer literals. One pass over the literal,
// however large its exponent. Precondition: `literal` is a valid JSON number.
std::optional<Json> exactInteger(std::string_view literal) {
    std::size_t at = 0;
    const bool negative = literal[at] == '-';
    at += negative ? 1 : 0;
    const std::size_t integerStart = at;
    while (at < literal.size() && isDigit(literal[at])) {
        ++at;
    }
    const std::string_view integerDigits = literal.substr(integerStart, at - integerStart);
    std::string_view fractionDigits;
    if (at < literal.size() && literal[at] == '.') {
        const std::size_t fractionStart = ++at;
        while (at < literal.size() && isDigit(literal[at])) {
            ++at;
        }
        fractionDigits = literal.substr(fractionStart, at - fractionStart);
    }
    // Past this bound the exponent stops growing: no literal has that many digits, so any
    // nonzero value beyond it is out of range or a fraction either way.
    constexpr std::int64_t exponentBound = 1'000'000'000'000'000;
    std::int64_t exponent = 0;
    if (at < literal.size()) {  // 'e' or 'E', an optional sign, digits
        ++at;
        const bool negativeExponent = literal[at] == '-';
        at += literal[at] == '-' || literal[at] == '+' ? 1 : 0;
        for (; at < literal.size(); ++at) {
            if (exponent < exponentBound) {
                exponent = exponent * 10 + (literal[at] - '0');
            }
        }
        exponent = negativeExponent ? -exponent : exponent;
    }

    // The digits without the point, and the value they make with the exponent.
    const std::size_t count = integerDigits.size() + fractionDigits.size();
    const auto digitAt = [&](std::size_t index) {
        return index < integerDigits.size() ? integerDigits[index]
                                            : fractionDigits[index - integerDigits.size()];
    };
    std::size_t first = 0;
    while (first < count && digitAt(first) == '0') {
        ++first;
    }
    if (first == count) {
        return Json(std::uint64_t{0});  // zero, whatever its sign and exponent
    }
    std::size_t last = count - 1;
    while (digitAt(last) == '0') {
        --last;
    }
    // value = digits[first..last] * 10^scale, and digits[last] is not 0: for a negative
    // scale that is a fraction.
    const std::int64_t scale = exponent - static_cast<std::int64_t>(fractionDigits.size()) +
                               static_cast<std::int64_t>(count - 1 - last);
    const auto significant = static_cast<std::int64_t>(last - first + 1);
    if (scale < 0 || significant + scale > 20) {  // 2^64 has 20 digits
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    for (std::size_t index = first; index <= last; ++index) {
        if (!appendDigit(magnitude, static_cast<unsigned>(digitAt(index) - '0'))) {
            return std::nullopt;
        }
    }
    for (std::int64_t zeros = 0; zeros < scale; ++zeros) {
        if (!appendDigit(magnitude, 0)) {
            return std::nullopt;
        }
    }
    if (!negative) {
        return Json(magnitude);
    }
    constexpr auto largestNegativeMagnitude =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    if (magnitude > largestNegativeMagnitude) {
        return std::nullopt;
    }
    // -(magnitude - 1) - 1 stays in range for magnitude 2^63.
    return Json(-static_cast<std::int64_t>(magnitude - 1) - 1);
}

// A float literal that stands in for a number beyond a double's range.
struct Overflow {
    std::size_t floatIndex;  // among the text's float literals, counted from 0
    bool negative;
};

// The id of nlohmann's error for a number beyond a double's range.
constexpr int numberOverflowError = 406;

// nlohmann's parser stops at a number beyond a double's range (error 406), also in a value
// nobody reads, and cannot go on from there. This runs nlohmann's own lexer, the one its
// parser uses, once over `bytes` and overwrites each such literal in `finite`, a copy of
// `bytes`, with a finite one of the same length: "0.5" and blanks (such a literal has at
// least five bytes, as in 2e308). Parsing `finite` reads the same document at the same
// offsets, with the same float literals in the same order. Stops at the first invalid
// token, where the parse stops too. Returns the replaced literals in document order.
std::vector<Overflow> standInsForOverflows(std::string_view bytes, std::string& finite) {
    using Adapter = decltype(nlohmann::detail::input_adapter(bytes.data(), bytes.data()));
    using Lexer = nlohmann::detail::lexer<Json, Adapter>;
    using Token = Lexer::token_type;
    constexpr std::string_view standIn = "0.5";
    std::vector<Overflow> overflows;
    Lexer lexer(nlohmann::detail::input_adapter(bytes.data(), bytes.data() + bytes.size()),
                /*ignore_comments_=*/false);
    std::size_t floatIndex = 0;
    for (Token token = lexer.scan(); token != Token::end_of_input && token != Token::parse_error;
         token = lexer.scan()) {
        if (token != Token::value_float) {
            continue;
        }
        const double value = lexer.get_number_float();
        if (!std::isfinite(value)) {
            // The lexer stands just past the literal, whose text is the token.
            const std::size_t length = lexer.get_string().size();
            const std::size_t start = lexer.get_position().chars_read_total - length;
            finite.replace(start, length, length, ' ');
            finite.replace(start, standIn.size(), standIn);
            overflows.push_back(Overflow{floatIndex, value < 0});
        }
        ++floatIndex;
    }
    return overflows;
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
    // `overflows`: the float literals of the text that stand in for numbers beyond a double's
    // range (see standInsForOverflows), in document order.
    SelectingHandler(const JsonSelection& selection, const std::vector<Overflow>& overflows)
        : rootSelection_(selection),
          nextOverflow_(overflows.begin()),
          overflowsEnd_(overflows.end()) {}

    bool null() override { return keep(Json(nullptr)); }
    bool boolean(bool value) override { return keep(Json(value)); }
    bool number_integer(number_integer_t value) override { return keep(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return keep(Json(value)); }
    bool number_float(number_float_t value, const string_t& text) override;
    bool string(string_t& value) override { return keep(Json(std::move(value))); }
    // Only the binary formats produce these; the JSON lexer never does.
    bool binary(binary_t& /*value*/) override { return fail(corrupted("Binary value in JSON.")); }

    bool start_object(std::size_t /*elements*/) override {
        open(Json::object());
        if (innermostIsKept()) {
            keptObjects_.emplace_back();
        }
        return true;
    }
    bool key(string_t& name) override;
    bool end_object() override {
        if (innermostIsKept()) {
            keptObjects_.pop_back();
        }
        return close();
    }
    bool start_array(std::size_t /*elements*/) override {
        open(Json::array());
        return true;
    }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t /*position*/, const std::string& /*lastToken*/,
                     const nlohmann::detail::exception& error) override {
        overflowed_ = error.id == numberOverflowError;
        return fail(corrupted("The given data was not valid JSON: " + shortened(error.what())));
    }

    [[nodiscard]] Status<DecodingError>& outcome() { return outcome_; }
    [[nodiscard]] Json& root() { return root_; }
    // Whether the parse stopped at a number too large for a double.
    [[nodiscard]] bool overflowed() const { return overflowed_; }

  private:
    // A kept container whose selected contents are still arriving.
    struct Filling {
        Json* target;
        const JsonSelection* selection;
    };

    const JsonSelection* selectionOfNextValue() const;
    // Whether the innermost open container is kept: one being filled, or one kept empty.
    bool innermostIsKept() const {
        return skipDepth_ == 0 || (skipDepth_ == 1 && skippingKeptContainer_);
    }
    Json* place(Json value);
    bool keep(Json value);
    void open(Json container);
    bool close();

    bool fail(DecodingError error) {
        outcome_ = Unexpected(std::move(error));
        return false;
    }

    const JsonSelection& rootSelection_;
    Json root_;
    std::vector<Filling> filling_;
    // Containers entered since the current unkept value, or container kept empty, began; 0
    // outside such values.
    std::size_t skipDepth_ = 0;
    // Whether the container that began the skip is itself kept (empty).
    bool skippingKeptContainer_ = false;
    // The selection and name of the member whose value comes next, or nullptr when that
    // member is not kept.
    const JsonSelection* nextMember_ = nullptr;
    std::string nextMemberName_;
    // The names of the open kept objects, innermost last. Their number is bounded by the
    // selection's depth, whatever the document's.
    std::vector<MemberNames> keptObjects_;
    std::vector<Overflow>::const_iterator nextOverflow_;
    std::vector<Overflow>::const_iterator overflowsEnd_;
    std::size_t floatsSeen_ = 0;
    Status<DecodingError> outcome_;  // the first failure ends the parse
    bool overflowed_ = false;
};
// NOLINTEND(readability-identifier-naming)

const JsonSelection emptySelection{};

bool SelectingHandler::number_float(number_float_t value, const string_t& text) {
    const bool standIn = nextOverflow_ != overflowsEnd_ && nextOverflow_->floatIndex == floatsSeen_;
    ++floatsSeen_;
    if (standIn) {
        const double infinity = std::numeric_limits<double>::infinity();
        return keep(Json(nextOverflow_++->negative ? -infinity : infinity));
    }
    if (selectionOfNextValue() == nullptr) {
        return true;  // not kept: spare the digits a second look
    }
    std::optional<Json> integer = exactInteger(text);
    return keep(integer ? std::move(*integer) : Json(value));
}

bool SelectingHandler::key(string_t& name) {
    // Repeats are refused in kept objects, whose contents or type a decoder looks at; in
    // values that are not kept, any valid JSON is accepted.
    if (innermostIsKept() && !keptObjects_.back().add(name)) {
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

void SelectingHandler::open(Json container) {
    if (skipDepth_ > 0) {
        ++skipDepth_;
        return;
    }
    const JsonSelection* selection = selectionOfNextValue();
    if (selection == nullptr) {
        skipDepth_ = 1;
        skippingKeptContainer_ = false;
        return;
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
        skippingKeptContainer_ = true;
    }
}

bool SelectingHandler::close() {
    if (skipDepth_ > 0) {
        --skipDepth_;
    } else {
        filling_.pop_back();
    }
    return true;
}

// One parse of `text`, whose float literals listed in `overflows` stand in for numbers
// beyond a double's range. `overflowed` tells whether the parse stopped at such a number.
Expected<SelectedJson, DecodingError> readOnce(std::string_view text,
                                               const JsonSelection& selection,
                                               const std::vector<Overflow>& overflows,
                                               bool& overflowed) {
    SelectingHandler handler(selection, overflows);
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
    return SelectedJson{std::move(handler.root())};
}

}  // namespace

Expected<SelectedJson, DecodingError> readSelectedJson(std::string_view bytes,
                                                       const JsonSelection& selection) {
    try {
        bool overflowed = false;
        {
            Expected<SelectedJson, DecodingError> read = readOnce(bytes, selection, {}, overflowed);
            if (!overflowed) {
                return read;
            }
        }  // what the stopped parse kept is freed before the second one
        std::string finite(bytes);
        const std::vector<Overflow> overflows = standInsForOverflows(bytes, finite);
        return readOnce(finite, selection, overflows, overflowed);
    } catch (const std::exception& error) {
        // Memory exhaustion while reading a huge document; nothing else in here throws.
        return Unexpected(
            corrupted(std::string("The document could not be read: ") + error.what()));
    }
}

}  // namespace tavelin::json
