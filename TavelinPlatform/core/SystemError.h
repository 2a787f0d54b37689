#pragma once

#include <string>

namespace tavelin {

// The system's own text for an errno value (strerror_r), e.g. "No such file or directory".
[[nodiscard]] std::string systemErrorText(int errorNumber);

// A failed system call: the errno value and the call or path it concerns.
struct SystemError {
    int errorNumber = 0;
    std::string context;

    [[nodiscard]] std::string text() const { return systemErrorText(errorNumber); }
};

}  // namespace tavelin
