// Feeds arbitrary bytes to the result decoder. Every input must be answered without a
// crash or sanitizer report, and whatever decodes must survive encode -> decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/UnicodeText.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    (void)std::fprintf(stderr, "fuzz_result_decoder: %s\n%s\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto decoded = tavelin::PrivilegedResult::decode(bytes);
    if (!decoded.has_value()) {
        if (decoded.error().description.empty() ||
            !tavelin::UnicodeText::isValidUtf8(decoded.error().description)) {
            fail("error without a readable description", std::string(bytes));
        }
        return 0;
    }
    const auto& result = decoded.value();
    // A decoded message is UTF-8, so it can always be written.
    const auto encoded = result.encode();
    if (!encoded) {
        fail("decoded result does not encode", std::string(bytes));
    }
    const auto again = tavelin::PrivilegedResult::decode(*encoded);
    if (!again.has_value()) {
        fail("encoded result does not decode", *encoded);
    }
    if (!(again.value() == result) || again.value().message() != result.message() ||
        again.value().encode() != *encoded) {
        fail("round trip changed the result", *encoded);
    }
    return 0;
}
