#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavelin {

// Why a document did not decode. The kinds mirror what a JSON reader can report.
enum class DecodingErrorKind {
    dataCorrupted,  // not JSON, not UTF-8, a repeated member name, a number out of range
    typeMismatch,   // a value of another JSON type than expected
    valueNotFound,  // null where a value is required
    keyNotFound,    // a required member is missing
};

struct DecodingError {
    DecodingErrorKind kind;
    // Member names and array indexes leading to the offending value; empty for the
    // document's top-level value.
    std::vector<std::string> codingPath;
    std::string description;
};

// Either a decoded value or the error that stopped decoding. Never throws.
template <typename T>
class Decoded {
public:
    Decoded(T value) : state_(std::move(value)) {}               // NOLINT(google-explicit-constructor)
    Decoded(DecodingError error) : state_(std::move(error)) {}   // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition: ok().
    [[nodiscard]] const T& value() const& { return std::get<T>(state_); }
    [[nodiscard]] T&& value() && { return std::get<T>(std::move(state_)); }
    // Precondition: !ok().
    [[nodiscard]] const DecodingError& error() const { return std::get<DecodingError>(state_); }

private:
    std::variant<T, DecodingError> state_;
};

}  // namespace tavelin
