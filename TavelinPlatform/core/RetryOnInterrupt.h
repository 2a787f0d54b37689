#pragma once

#include <cerrno>

namespace tavelin {

// Runs a system call until it is not interrupted by a signal: `call` returns a negative
// value and sets errno on failure (read, write, recvmsg, waitpid, openat, getdents64, ...);
// the result is returned as soon as it is anything but -1 with EINTR.
template <typename Call>
[[nodiscard]] auto retryOnInterrupt(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR)) {
            return result;
        }
    }
}

}  // namespace tavelin
