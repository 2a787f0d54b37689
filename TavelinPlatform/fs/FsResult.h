#pragma once

#include <utility>
#include <variant>

#include "SystemError.h"

namespace tavelin {

// Either a value or the failed system call that prevented it. Never throws.
template <typename T>
class [[nodiscard]] FsResult {
  public:
    FsResult(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    FsResult(SystemError error)
        : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition: ok().
    [[nodiscard]] const T& value() const& { return std::get<T>(state_); }
    [[nodiscard]] T& value() & { return std::get<T>(state_); }
    [[nodiscard]] T&& value() && { return std::get<T>(std::move(state_)); }
    // Precondition: !ok().
    [[nodiscard]] const SystemError& error() const { return std::get<SystemError>(state_); }

  private:
    std::variant<T, SystemError> state_;
};

// Success, or the failed system call. Never throws.
class [[nodiscard]] FsStatus {
  public:
    FsStatus() = default;  // success
    FsStatus(SystemError error)
        : error_(std::move(error)), failed_(true) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    // Precondition: !ok().
    [[nodiscard]] const SystemError& error() const noexcept { return error_; }

  private:
    SystemError error_;
    bool failed_ = false;
};

}  // namespace tavelin
