#include "TavelinHelper/front/tests/ReadHook.h"

namespace tavelin::testing {

std::function<bool(int fd, off_t offset)> readHook;

}  // namespace tavelin::testing

// NOLINTBEGIN(bugprone-reserved-identifier, readability-identifier-naming): the linker's names
extern "C" ssize_t __real_pread(int fd, void* buffer, size_t count, off_t offset);

extern "C" ssize_t __wrap_pread(int fd, void* buffer, size_t count, off_t offset) {
    auto& hook = tavelin::testing::readHook;
    if (hook && hook(fd, offset)) {
        hook = nullptr;
    }
    return __real_pread(fd, buffer, count, offset);
}
// NOLINTEND(bugprone-reserved-identifier, readability-identifier-naming)
