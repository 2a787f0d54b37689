#include "TavelinPlatform/core/AddressSpace.h"

#include <malloc.h>
#include <pthread.h>

namespace tavelin {

void reserveModestAddressSpace() noexcept {
    static_cast<void>(::mallopt(M_ARENA_MAX, daemonMallocArenas));
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) == 0) {
        if (::pthread_attr_setstacksize(&attributes, daemonThreadStackSize) == 0) {
            static_cast<void>(::pthread_setattr_default_np(&attributes));
        }
        ::pthread_attr_destroy(&attributes);
    }
}

}  // namespace tavelin
