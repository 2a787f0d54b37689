#pragma once

#include <type_traits>
#include <utility>
#include <variant>

// The one way the project says "a value or the error that prevented it".
//
// Expected<T, E> and Unexpected<E> follow the interface of C++23's std::expected and
// std::unexpected (has_value, value, error, value_or, operator*, operator->, explicit
// bool), so the standard types can replace them once the project moves to C++23. Status<E>
// is Expected<void, E>: success, or an error. Each module keeps its own error type (system
// errors, decoding errors, identity errors, client errors); the wrapper is this one.
//
// Unlike the standard type, value() on an error (and error() on a value) is a
// precondition violation that throws std::bad_variant_access rather than
// bad_expected_access; code checks has_value() first.
namespace tavelin {

// The error half of an Expected, kept apart so that `return Unexpected(error);` can never
// be mistaken for a value, even where T and E are the same type.
template <typename E>
class Unexpected {
  public:
    explicit Unexpected(E error) : error_(std::move(error)) {}

    [[nodiscard]] const E& error() const& noexcept { return error_; }
    [[nodiscard]] E& error() & noexcept { return error_; }
    [[nodiscard]] E&& error() && noexcept { return std::move(error_); }

  private:
    E error_;
};

template <typename E>
Unexpected(E) -> Unexpected<E>;

template <typename T, typename E>
class Expected;

namespace detail {
template <typename U>
inline constexpr bool isExpectedOrUnexpected = false;
template <typename G>
inline constexpr bool isExpectedOrUnexpected<Unexpected<G>> = true;
template <typename V, typename G>
inline constexpr bool isExpectedOrUnexpected<Expected<V, G>> = true;
}  // namespace detail

// NOLINTBEGIN(readability-identifier-naming): the member names are std::expected's.
template <typename T, typename E>
class [[nodiscard]] Expected {
  public:
    using value_type = T;
    using error_type = E;

    Expected() requires std::is_default_constructible_v<T> : state_(std::in_place_index<0>) {}

    // A value converts implicitly, as it does for std::expected.
    template <typename U = T>
    requires(std::is_constructible_v<T, U&&> &&
             !detail::isExpectedOrUnexpected<std::remove_cvref_t<U>> &&
             !std::is_same_v<std::remove_cvref_t<U>, std::in_place_t>)
        Expected(U&& value)  // NOLINT(google-explicit-constructor,
                             // bugprone-forwarding-reference-overload)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}

    template <typename G>
    Expected(const Unexpected<G>& failure)  // NOLINT(google-explicit-constructor)
        : state_(std::in_place_index<1>, failure.error()) {}
    template <typename G>
    Expected(Unexpected<G>&& failure)  // NOLINT(google-explicit-constructor)
        : state_(std::in_place_index<1>, std::move(failure).error()) {}

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    // Precondition: has_value().
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const T& operator*() const& { return value(); }
    [[nodiscard]] T& operator*() & { return value(); }
    [[nodiscard]] T&& operator*() && { return std::move(*this).value(); }
    [[nodiscard]] const T* operator->() const { return &value(); }
    [[nodiscard]] T* operator->() { return &value(); }

    template <typename U>
    [[nodiscard]] T value_or(U&& fallback) const& {
        return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
    }
    template <typename U>
    [[nodiscard]] T value_or(U&& fallback) && {
        return has_value() ? std::move(*this).value() : static_cast<T>(std::forward<U>(fallback));
    }

    // Precondition: !has_value().
    [[nodiscard]] const E& error() const& { return std::get<1>(state_); }
    [[nodiscard]] E& error() & { return std::get<1>(state_); }
    [[nodiscard]] E&& error() && { return std::get<1>(std::move(state_)); }

    // Equal when both hold equal values or equal errors, as for std::expected. The left
    // side is deduced (`Self`), so that nothing converts to an Expected to be compared:
    // a comparison of two other types never looks at these operators.
    // clang-format off
    template <typename Self, typename T2, typename E2>
        requires std::is_same_v<Self, Expected>
    friend bool operator==(const Self& lhs, const Expected<T2, E2>& rhs) {
        if (lhs.has_value() != rhs.has_value()) {
            return false;
        }
        return lhs.has_value() ? lhs.value() == rhs.value() : lhs.error() == rhs.error();
    }
    template <typename Self, typename T2>
        requires(std::is_same_v<Self, Expected> && !detail::isExpectedOrUnexpected<T2>)
    friend bool operator==(const Self& lhs, const T2& value) {
        return lhs.has_value() && lhs.value() == value;
    }
    template <typename Self, typename E2>
        requires std::is_same_v<Self, Expected>
    friend bool operator==(const Self& lhs, const Unexpected<E2>& failure) {
        return !lhs.has_value() && lhs.error() == failure.error();
    }
    // clang-format on

  private:
    std::variant<T, E> state_;
};

// Success without a value, or an error.
template <typename E>
class [[nodiscard]] Expected<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    Expected() = default;  // success
    template <typename G>
    Expected(const Unexpected<G>& failure)  // NOLINT(google-explicit-constructor)
        : error_(failure.error()), failed_(true) {}
    template <typename G>
    Expected(Unexpected<G>&& failure)  // NOLINT(google-explicit-constructor)
        : error_(std::move(failure).error()), failed_(true) {}

    [[nodiscard]] bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return has_value(); }
    void value() const noexcept {}

    // Precondition: !has_value().
    [[nodiscard]] const E& error() const& noexcept { return error_; }
    [[nodiscard]] E& error() & noexcept { return error_; }
    [[nodiscard]] E&& error() && noexcept { return std::move(error_); }

    // clang-format off
    template <typename Self, typename E2>
        requires std::is_same_v<Self, Expected>
    friend bool operator==(const Self& lhs, const Expected<void, E2>& rhs) {
        if (lhs.has_value() != rhs.has_value()) {
            return false;
        }
        return lhs.has_value() || lhs.error() == rhs.error();
    }
    template <typename Self, typename E2>
        requires std::is_same_v<Self, Expected>
    friend bool operator==(const Self& lhs, const Unexpected<E2>& failure) {
        return !lhs.has_value() && lhs.error() == failure.error();
    }
    // clang-format on

  private:
    E error_{};
    bool failed_ = false;
};
// NOLINTEND(readability-identifier-naming)

template <typename E>
using Status = Expected<void, E>;

}  // namespace tavelin
