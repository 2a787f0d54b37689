#pragma once

#include <memory>
#include <utility>

#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// One file descriptor with several owners, closed when the last lets go: for a descriptor
// that work running on other threads keeps using after its first owner is done with it.
// Copying shares the descriptor; nothing is duplicated.
class SharedFd {
  public:
    SharedFd() = default;
    // Takes `fd` over (none stays none). Throws std::bad_alloc, closing `fd` first.
    SharedFd(UniqueFd fd)  // NOLINT(google-explicit-constructor): as a UniqueFd
        : fd_(fd ? std::make_shared<const UniqueFd>(std::move(fd)) : nullptr) {}

    [[nodiscard]] int get() const noexcept { return fd_ ? fd_->get() : -1; }
    [[nodiscard]] bool valid() const noexcept { return get() >= 0; }
    explicit operator bool() const noexcept { return valid(); }

  private:
    std::shared_ptr<const UniqueFd> fd_;
};

}  // namespace tavelin
