#include "TavelinPlatform/identity/Requirement.h"

#include <algorithm>

namespace tavelin {

namespace {

// A certificate condition holds only for exactly one entry of the field, so that a
// subject carrying a second, different OU can never be read either way.
bool soleValueEquals(const std::vector<std::string>& values, const std::string& expected) {
    return values.size() == 1 && values.front() == expected;
}

}  // namespace

bool Requirement::isSatisfiedBy(const CodeFacts& facts) const {
    return !nodes_.empty() && evaluate(root_, facts);
}

// Recursion is bounded: the parser never builds a tree deeper than maximumNesting levels
// of "!" and parentheses, each adding at most three nodes on the path.
bool Requirement::evaluate(std::size_t index, const CodeFacts& facts) const {
    const Node& node = nodes_[index];
    switch (node.kind) {
        case NodeKind::anchor:
            return facts.chainEndsAtAnchor;
        case NodeKind::identifier:
            return facts.identifier == node.value;
        case NodeKind::subjectOU:
            return soleValueEquals(facts.leafOrganizationalUnits, node.value);
        case NodeKind::subjectCN:
            return soleValueEquals(facts.leafCommonNames, node.value);
        case NodeKind::subjectO:
            return soleValueEquals(facts.leafOrganizations, node.value);
        case NodeKind::negation:
            return !evaluate(node.children.front(), facts);
        case NodeKind::all:
            return std::all_of(node.children.begin(), node.children.end(),
                               [&](std::size_t child) { return evaluate(child, facts); });
        case NodeKind::any:
            return std::any_of(node.children.begin(), node.children.end(),
                               [&](std::size_t child) { return evaluate(child, facts); });
    }
    return false;
}

}  // namespace tavelin
