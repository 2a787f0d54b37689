#include "TavelinHelper/monitor/Capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavelin {

bool holdsCapability(int capability) noexcept {
    if (capability < 0 || capability >= 32 * _LINUX_CAPABILITY_U32S_3) {
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    const auto bit = static_cast<unsigned>(capability);
    return (data[bit / 32].effective & (1U << (bit % 32))) != 0;
}

}  // namespace tavelin
