// Tokenizer and recursive-descent parser of the requirement language (see Requirement.h).
// Recursion depth is bounded by Requirement::maximumNesting; "and"/"or" chains are read
// in loops, so a long flat requirement never deepens the stack.
#include <cctype>
#include <optional>

#include "TavelinPlatform/identity/Requirement.h"

namespace tavelin {

namespace {

enum class TokenKind {
    word,
    string,
    openParen,
    closeParen,
    openBracket,
    closeBracket,
    equals,
    bang,
    end
};

struct Token {
    TokenKind kind = TokenKind::end;
    std::string text;  // the word, or the string's value with escapes resolved
    std::size_t offset = 0;
};

bool isWordCharacter(char character) {
    return std::isalnum(static_cast<unsigned char>(character)) != 0 || character == '_' ||
           character == '.' || character == '-';
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    Expected<Requirement, IdentityError> run() {
        if (text_.size() > Requirement::maximumTextLength) {
            return identityError("requirement is longer than " +
                                 std::to_string(Requirement::maximumTextLength) + " bytes");
        }
        if (!advance()) {
            return takeError();
        }
        const auto root = parseAny(0);
        if (!root) {
            return takeError();
        }
        if (current_.kind != TokenKind::end) {
            return identityError("unexpected text at offset " + std::to_string(current_.offset));
        }
        return Requirement(std::move(nodes_), *root);
    }

  private:
    using NodeIndex = std::optional<std::size_t>;

    Unexpected<IdentityError> takeError() { return identityError(error_); }

    std::nullopt_t fail(const std::string& what, std::size_t offset) {
        if (error_.empty()) {
            error_ = what + " at offset " + std::to_string(offset);
        }
        return std::nullopt;
    }

    void skipBlanks() {
        while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                            text_[position_] == '\n' || text_[position_] == '\r')) {
            ++position_;
        }
    }

    // Reads the next token into current_; false (with error_ set) on a lexical error.
    bool advance() {
        skipBlanks();
        current_ = Token{TokenKind::end, {}, position_};
        if (position_ == text_.size()) {
            return true;
        }
        const char character = text_[position_];
        switch (character) {
            case '(':
                return single(TokenKind::openParen);
            case ')':
                return single(TokenKind::closeParen);
            case '[':
                return single(TokenKind::openBracket);
            case ']':
                return single(TokenKind::closeBracket);
            case '=':
                return single(TokenKind::equals);
            case '!':
                return single(TokenKind::bang);
            case '"':
                return readString();
            default:
                break;
        }
        if (!isWordCharacter(character)) {
            fail("unexpected character", position_);
            return false;
        }
        const std::size_t start = position_;
        while (position_ < text_.size() && isWordCharacter(text_[position_])) {
            ++position_;
        }
        current_ =
            Token{TokenKind::word, std::string(text_.substr(start, position_ - start)), start};
        return true;
    }

    bool single(TokenKind kind) {
        current_.kind = kind;
        ++position_;
        return true;
    }

    bool readString() {
        const std::size_t start = position_++;
        std::string value;
        while (position_ < text_.size()) {
            const char character = text_[position_++];
            if (character == '"') {
                current_ = Token{TokenKind::string, std::move(value), start};
                return true;
            }
            if (character == '\\') {
                if (position_ == text_.size()) {
                    break;
                }
                value += text_[position_++];
                continue;
            }
            value += character;
        }
        fail("unterminated string", start);
        return false;
    }

    bool isWord(std::string_view word) const {
        return current_.kind == TokenKind::word && current_.text == word;
    }

    // Consumes the expected word or symbol, or fails naming it.
    bool expect(TokenKind kind, std::string_view word, std::string_view description) {
        if (current_.kind != kind || (kind == TokenKind::word && current_.text != word)) {
            fail("expected " + std::string(description), current_.offset);
            return false;
        }
        return advance();
    }

    std::size_t add(Requirement::Node node) {
        nodes_.push_back(std::move(node));
        return nodes_.size() - 1;
    }

    // "any" (or) and "all" (and) chains: one node with every operand as a child.
    NodeIndex parseAny(std::size_t depth) {
        return parseChain(depth, "or", Requirement::NodeKind::any,
                          [this](std::size_t level) { return parseAll(level); });
    }

    NodeIndex parseAll(std::size_t depth) {
        return parseChain(depth, "and", Requirement::NodeKind::all,
                          [this](std::size_t level) { return parseUnary(level); });
    }

    template <typename Operand>
    NodeIndex parseChain(std::size_t depth, std::string_view joiner, Requirement::NodeKind kind,
                         Operand operand) {
        const auto first = operand(depth);
        if (!first || !isWord(joiner)) {
            return first;
        }
        Requirement::Node chain{kind, {}, {*first}};
        while (isWord(joiner)) {
            if (!advance()) {
                return std::nullopt;
            }
            const auto next = operand(depth);
            if (!next) {
                return std::nullopt;
            }
            chain.children.push_back(*next);
        }
        return add(std::move(chain));
    }

    NodeIndex parseUnary(std::size_t depth) {
        if (depth >= Requirement::maximumNesting) {
            return fail("requirement nested too deeply", current_.offset);
        }
        if (current_.kind == TokenKind::bang) {
            if (!advance()) {
                return std::nullopt;
            }
            const auto operand = parseUnary(depth + 1);
            if (!operand) {
                return std::nullopt;
            }
            return add({Requirement::NodeKind::negation, {}, {*operand}});
        }
        return parsePrimary(depth);
    }

    NodeIndex parsePrimary(std::size_t depth) {
        if (current_.kind == TokenKind::openParen) {
            if (!advance()) {
                return std::nullopt;
            }
            const auto inner = parseAny(depth + 1);
            if (!inner || !expect(TokenKind::closeParen, {}, "')'")) {
                return std::nullopt;
            }
            return inner;
        }
        if (isWord("anchor")) {
            if (!advance() || !expect(TokenKind::word, "apple", "'apple'") ||
                !expect(TokenKind::word, "generic", "'generic'")) {
                return std::nullopt;
            }
            return add({Requirement::NodeKind::anchor, {}, {}});
        }
        if (isWord("identifier")) {
            if (!advance()) {
                return std::nullopt;
            }
            if (current_.kind == TokenKind::equals && !advance()) {
                return std::nullopt;
            }
            return parseValue(Requirement::NodeKind::identifier);
        }
        if (isWord("certificate")) {
            return parseCertificateCondition();
        }
        return fail(current_.kind == TokenKind::end ? "missing operand" : "unknown condition",
                    current_.offset);
    }

    NodeIndex parseCertificateCondition() {
        if (!advance() || !expect(TokenKind::word, "leaf", "'leaf'") ||
            !expect(TokenKind::openBracket, {}, "'['")) {
            return std::nullopt;
        }
        std::optional<Requirement::NodeKind> kind;
        if (isWord("subject.OU")) {
            kind = Requirement::NodeKind::subjectOU;
        } else if (isWord("subject.CN")) {
            kind = Requirement::NodeKind::subjectCN;
        } else if (isWord("subject.O")) {
            kind = Requirement::NodeKind::subjectO;
        } else {
            return fail("unknown certificate field", current_.offset);
        }
        if (!advance() || !expect(TokenKind::closeBracket, {}, "']'") ||
            !expect(TokenKind::equals, {}, "'='")) {
            return std::nullopt;
        }
        return parseValue(*kind);
    }

    NodeIndex parseValue(Requirement::NodeKind kind) {
        if (current_.kind != TokenKind::string) {
            return fail("expected a quoted string", current_.offset);
        }
        std::string value = std::move(current_.text);
        if (!advance()) {
            return std::nullopt;
        }
        return add({kind, std::move(value), {}});
    }

    std::string_view text_;
    std::size_t position_ = 0;
    Token current_;
    std::vector<Requirement::Node> nodes_;
    std::string error_;
};

}  // namespace

Expected<Requirement, IdentityError> Requirement::parse(std::string_view text) {
    return Parser(text).run();
}

}  // namespace tavelin
