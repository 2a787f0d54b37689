#pragma once

#include <string>
#include <string_view>

#include "TavelinShared/Expected.h"

namespace tavelin {

// The system's own text for an errno value (strerror_r), e.g. "No such file or directory".
[[nodiscard]] std::string systemErrorText(int errorNumber);

// A failed system call: the errno value and the call or path it concerns.
struct SystemError {
    int errorNumber = 0;
    std::string context;

    [[nodiscard]] std::string text() const { return systemErrorText(errorNumber); }
    // "<context>: <text>", for log lines and diagnostics.
    [[nodiscard]] std::string describe() const { return context + ": " + text(); }
};

// The one place errno becomes an error value: captures errno before anything else runs
// (building the context may allocate), then names the call and, if given, its subject,
// e.g. lastSystemError("openat2", path) gives the context "openat2 <path>".
[[nodiscard]] Unexpected<SystemError> lastSystemError(std::string_view call,
                                                      std::string_view subject = {});

// The same for an error number a call returned instead of setting errno (posix_spawn,
// getdents through a helper, a value saved earlier).
[[nodiscard]] Unexpected<SystemError> systemError(int errorNumber, std::string_view call,
                                                  std::string_view subject = {});

}  // namespace tavelin
