#pragma once

#include <sys/types.h>

#include <functional>

namespace tavelin::testing {

// The admission tests link with --wrap=pread, so every pread of the code under test (the
// identity library reads files with nothing else) passes through ReadHook.cc first. A test
// that sets the hook acts at a chosen moment of a check, or counts what a check reads, with
// nothing added to the code under test. The hook answers true when it has done its work,
// which removes it.
extern std::function<bool(int fd, off_t offset)> readHook;

}  // namespace tavelin::testing
