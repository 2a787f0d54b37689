#pragma once

namespace tavelin {

// One callable made of several lambdas, for std::visit over a closed set of alternatives:
// an alternative without a handler does not compile, so a new one has to be handled at
// every visit. A generic `auto` handler would take any new alternative silently; keep them
// for alternatives that share a member, where a new one lacking it still fails to compile.
template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace tavelin
