// The requirement parser on arbitrary text: it must never crash, recurse without bound or
// accept a text it cannot evaluate. What parses is evaluated against a few identities; a
// requirement and its negation must never agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TavelinPlatform/identity/Requirement.h"

namespace {

const tavelin::CodeFacts factsToTry[] = {
    {true, "de.morvane.Tavelin", {"QH4T7R2KZ5"}, {"Tavelin"}, {"Morvane"}},
    {false, "", {}, {}, {}},
    {true, "x", {"A", "B"}, {"a\"b"}, {"\\"}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto requirement = tavelin::Requirement::parse(text);
    if (!requirement) {
        return 0;
    }
    const auto negated = tavelin::Requirement::parse("!(" + std::string(text) + ")");
    for (const auto& facts : factsToTry) {
        const bool holds = requirement.value().isSatisfiedBy(facts);
        // The negation may fail to parse only by going one level too deep.
        if (negated && negated.value().isSatisfiedBy(facts) == holds) {
            std::abort();
        }
    }
    return 0;
}
