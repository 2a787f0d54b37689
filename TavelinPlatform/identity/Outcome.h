#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tavelin {

// Why an identity operation failed, in words fit for a command-line user or a test log.
// The daemon never passes these texts to a client.
struct IdentityError {
    std::string message;
};

// Either a value or the IdentityError that stopped the operation. Never throws.
template <typename T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}                // NOLINT(google-explicit-constructor)
    Outcome(IdentityError error) : state_(std::move(error)) {}    // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition: ok().
    [[nodiscard]] const T& value() const& { return std::get<T>(state_); }
    [[nodiscard]] T& value() & { return std::get<T>(state_); }
    [[nodiscard]] T&& value() && { return std::get<T>(std::move(state_)); }
    // Precondition: !ok().
    [[nodiscard]] const IdentityError& error() const { return std::get<IdentityError>(state_); }

private:
    std::variant<T, IdentityError> state_;
};

// For operations that yield nothing but success.
struct Done {};

[[nodiscard]] inline IdentityError identityError(std::string message) {
    return IdentityError{std::move(message)};
}

}  // namespace tavelin
