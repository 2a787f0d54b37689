#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"

namespace tavelin {

// What is known of a signed executable once its signature block has been checked: the
// facts a requirement's conditions are judged against.
struct CodeFacts {
    bool chainEndsAtAnchor = false;  // the signing chain ends at the platform trust anchor
    std::string identifier;          // the signed identifier
    // Every value of the field in the leaf certificate's subject, in order.
    std::vector<std::string> leafOrganizationalUnits;
    std::vector<std::string> leafCommonNames;
    std::vector<std::string> leafOrganizations;
};

// A parsed code requirement. The language understood is this subset:
//
//     requirement := or
//     or          := and { "or" and }
//     and         := unary { "and" unary }
//     unary       := "!" unary | primary
//     primary     := "(" or ")"
//                  | "anchor" "apple" "generic"
//                  | "identifier" [ "=" ] string
//                  | "certificate" "leaf" "[" field "]" "=" string
//     field       := "subject.OU" | "subject.CN" | "subject.O"
//     string      := '"' { any byte but '"' and '\' | '\' any byte } '"'
//
// Words are case-sensitive; blanks, tabs and line breaks separate tokens. "anchor apple
// generic" holds when the signing chain ends at the platform trust anchor. A certificate
// condition holds when the leaf's subject has exactly one entry of that field and its
// value equals the string byte for byte (a subject with two OUs is refused, never guessed
// at). Anything else fails to parse: an unknown word, a missing operand, an unterminated
// string, trailing text, a text longer than maximumTextLength or nested deeper than
// maximumNesting (parentheses and "!" together).
class Requirement {
  public:
    static constexpr std::size_t maximumTextLength = 4096;
    static constexpr std::size_t maximumNesting = 32;

    // Fails with a message naming the byte offset of the problem.
    [[nodiscard]] static Expected<Requirement, IdentityError> parse(std::string_view text);

    [[nodiscard]] bool isSatisfiedBy(const CodeFacts& facts) const;

    // Only the parser builds nodes; exposed so that it can live in its own file.
    enum class NodeKind { anchor, identifier, subjectOU, subjectCN, subjectO, negation, all, any };
    struct Node {
        NodeKind kind = NodeKind::anchor;
        std::string value;                  // identifier and certificate conditions
        std::vector<std::size_t> children;  // negation (one), all and any (two or more)
    };
    Requirement(std::vector<Node> nodes, std::size_t root)
        : nodes_(std::move(nodes)), root_(root) {}

  private:
    [[nodiscard]] bool evaluate(std::size_t index, const CodeFacts& facts) const;

    std::vector<Node> nodes_;
    std::size_t root_ = 0;
};

}  // namespace tavelin
