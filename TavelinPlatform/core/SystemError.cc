#include "TavelinPlatform/core/SystemError.h"

#include <cerrno>
#include <cstring>

namespace tavelin {

std::string systemErrorText(int errorNumber) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = ::strerror_r(errorNumber, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string("Unknown error");
}

Unexpected<SystemError> lastSystemError(std::string_view call, std::string_view subject) {
    const int errorNumber = errno;
    return systemError(errorNumber, call, subject);
}

Unexpected<SystemError> systemError(int errorNumber, std::string_view call,
                                    std::string_view subject) {
    std::string context(call);
    if (!subject.empty()) {
        context.append(" ").append(subject);
    }
    return Unexpected(SystemError{errorNumber, std::move(context)});
}

}  // namespace tavelin
