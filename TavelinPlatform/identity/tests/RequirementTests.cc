#include <gtest/gtest.h>

#include <string>

#include "Requirement.h"

namespace tavelin {
namespace {

const std::string clientRequirement =
    R"(anchor apple generic and identifier "de.morvane.Tavelin" and certificate leaf[subject.OU] = "QH4T7R2KZ5")";

CodeFacts clientFacts() {
    return {true, "de.morvane.Tavelin", {"QH4T7R2KZ5"}, {"Tavelin Signing"}, {"Morvane"}};
}

TEST(RequirementTest, ParsesTheSubsetAndRejectsEverythingElse) {
    struct Case {
        std::string text;
        bool parses;
    };
    const Case cases[] = {
        {clientRequirement, true},
        {"anchor apple generic", true},
        {"identifier \"a\"", true},
        {"identifier = \"a\"", true},
        {"certificate leaf[subject.CN] = \"x\"", true},
        {"certificate leaf [ subject.O ] = \"x\"", true},
        {"!identifier \"a\"", true},
        {"! ! (identifier \"a\" or (anchor apple generic))", true},
        {"identifier \"a\" or identifier \"b\" and anchor apple generic", true},
        {"identifier \"with \\\"quote\\\" and \\\\ backslash\"", true},
        {"\t( identifier \"a\" )\r\n", true},
        {"", false},
        {"   ", false},
        {"anchor apple", false},
        {"anchor apple generic and", false},
        {"and anchor apple generic", false},
        {"anchor apple generic anchor apple generic", false},
        {"Anchor apple generic", false},
        {"anchor apple generic or", false},
        {"identifier", false},
        {"identifier =", false},
        {"identifier de.morvane.Tavelin", false},
        {"identifier \"unterminated", false},
        {"identifier \"ends in backslash\\", false},
        {"identifier == \"a\"", false},
        {"certificate leaf[subject.OU] \"x\"", false},
        {"certificate leaf[subject.L] = \"x\"", false},
        {"certificate root[subject.OU] = \"x\"", false},
        {"certificate leaf[subject.OU = \"x\"", false},
        {"cert leaf[subject.OU] = \"x\"", false},
        {"(identifier \"a\"", false},
        {"identifier \"a\")", false},
        {"()", false},
        {"!", false},
        {"identifier \"a\" && identifier \"b\"", false},
        {"info[x] = \"y\"", false},
        {"identifier \"a\" # comment", false},
        {std::string("identifier \"a\"\0", 15), false},
        {std::string(40, '(') + "anchor apple generic" + std::string(40, ')'), false},
        {std::string(40, '!') + "anchor apple generic", false},
        {std::string(31, '!') + "anchor apple generic", true},
        {std::string(5000, ' ') + "anchor apple generic", false},
    };
    for (const auto& testCase : cases) {
        const auto parsed = Requirement::parse(testCase.text);
        EXPECT_EQ(parsed.ok(), testCase.parses) << "text: [" << testCase.text << "]"
                                                << (parsed ? "" : " error: " + parsed.error().message);
    }
}

TEST(RequirementTest, HostileNestingFailsWithoutExhaustingTheStack) {
    for (const std::string& text : {std::string(4000, '('), std::string(4000, '!'),
                                    std::string(2000, '(') + std::string(2000, ')')}) {
        EXPECT_FALSE(Requirement::parse(text).ok()) << text.substr(0, 20);
    }
}

TEST(RequirementTest, EvaluatesConditionsAgainstTheFacts) {
    struct Case {
        std::string text;
        CodeFacts facts;
        bool satisfied;
    };
    auto with = [](auto change) {
        CodeFacts facts = clientFacts();
        change(facts);
        return facts;
    };
    const Case cases[] = {
        {clientRequirement, clientFacts(), true},
        {clientRequirement, with([](CodeFacts& f) { f.chainEndsAtAnchor = false; }), false},
        {clientRequirement, with([](CodeFacts& f) { f.identifier = "de.morvane.Tavelin2"; }), false},
        {clientRequirement, with([](CodeFacts& f) { f.identifier = "de.morvane.tavelin"; }), false},
        {clientRequirement, with([](CodeFacts& f) { f.leafOrganizationalUnits = {"AAAAAAAAAA"}; }), false},
        {clientRequirement, with([](CodeFacts& f) { f.leafOrganizationalUnits = {}; }), false},
        {clientRequirement,
         with([](CodeFacts& f) { f.leafOrganizationalUnits = {"QH4T7R2KZ5", "QH4T7R2KZ5"}; }), false},
        {clientRequirement,
         with([](CodeFacts& f) { f.leafOrganizationalUnits = {"OTHERTEAM1", "QH4T7R2KZ5"}; }), false},
        {"certificate leaf[subject.CN] = \"Tavelin Signing\"", clientFacts(), true},
        {"certificate leaf[subject.O] = \"Morvane\"", clientFacts(), true},
        {"certificate leaf[subject.O] = \"morvane\"", clientFacts(), false},
        {"!identifier \"de.morvane.Tavelin\"", clientFacts(), false},
        {"identifier \"x\" or identifier \"de.morvane.Tavelin\"", clientFacts(), true},
        {"identifier \"x\" or identifier \"y\"", clientFacts(), false},
        // "and" binds tighter than "or".
        {"identifier \"x\" and anchor apple generic or identifier \"de.morvane.Tavelin\"",
         clientFacts(), true},
        {"identifier \"x\" and (anchor apple generic or identifier \"de.morvane.Tavelin\")",
         clientFacts(), false},
        {"identifier \"a\\\"b\"", with([](CodeFacts& f) { f.identifier = "a\"b"; }), true},
        {"identifier \"\"", with([](CodeFacts& f) { f.identifier = ""; }), true},
    };
    for (const auto& testCase : cases) {
        const auto parsed = Requirement::parse(testCase.text);
        ASSERT_TRUE(parsed.ok()) << testCase.text << ": " << parsed.error().message;
        EXPECT_EQ(parsed.value().isSatisfiedBy(testCase.facts), testCase.satisfied)
            << "text: " << testCase.text << " identifier: " << testCase.facts.identifier;
    }
}

}  // namespace
}  // namespace tavelin
