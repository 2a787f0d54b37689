#pragma once

#include <sys/types.h>

#include <optional>

namespace tavelin {

// The account a development build trusts besides root (TAVELIN_DEVELOPER_UID, given to
// a target by tavelin_use_developer_uid): its files may hold a client's code and it may
// run the daemon. Nothing in a release build.
inline std::optional<uid_t> developerAccount() noexcept {
#ifdef TAVELIN_DEVELOPER_UID
    return static_cast<uid_t>(TAVELIN_DEVELOPER_UID);
#else
    return std::nullopt;
#endif
}

}  // namespace tavelin
