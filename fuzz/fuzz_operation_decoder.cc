// Feeds arbitrary bytes to the request decoder. Every input must be answered without a
// crash or sanitizer report, and whatever decodes must survive encode -> decode unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/UnicodeText.h"
#include "TavelinShared/internal/Overloaded.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& encoded) {
    (void)std::fprintf(stderr, "fuzz_operation_decoder: %s\n%s\n", what, encoded.c_str());
    std::abort();
}

bool stringsAreUtf8(const tavelin::PrivilegedOperation& operation) {
    using Op = tavelin::PrivilegedOperation;
    return std::visit(tavelin::Overloaded{[](const Op::RemoveSystemPaths& removal) {
                                              return std::all_of(removal.paths.begin(),
                                                                 removal.paths.end(),
                                                                 tavelin::UnicodeText::isValidUtf8);
                                          },
                                          [](const Op::RepairPermissions& repair) {
                                              return tavelin::UnicodeText::isValidUtf8(repair.path);
                                          },
                                          [](const Op::InstallSystemUpdates&) { return true; }},
                      operation.payload());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto decoded = tavelin::PrivilegedOperation::decode(bytes);
    if (!decoded.has_value()) {
        if (decoded.error().description.empty() ||
            !tavelin::UnicodeText::isValidUtf8(decoded.error().description)) {
            fail("error without a readable description", std::string(bytes));
        }
        return 0;
    }
    const auto& operation = decoded.value();
    if (!stringsAreUtf8(operation)) {
        fail("decoded a string that is not UTF-8", std::string(bytes));
    }
    // A decoded operation holds only UTF-8, so it can always be written.
    const auto encoded = operation.encode();
    if (!encoded) {
        fail("decoded operation does not encode", std::string(bytes));
    }
    const auto again = tavelin::PrivilegedOperation::decode(*encoded);
    if (!again.has_value()) {
        fail("encoded operation does not decode", *encoded);
    }
    if (!(again.value() == operation) || again.value().encode() != *encoded ||
        again.value().auditDescription() != operation.auditDescription()) {
        fail("round trip changed the operation", *encoded);
    }
    return 0;
}
