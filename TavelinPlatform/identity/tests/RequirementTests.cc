#include <gtest/gtest.h>

#include <string>

#include "TavelinPlatform/identity/Requirement.h"

namespace tavelin {
namespace {

const std::string clientRequirement =
    R"(anchor apple generic and identifier "de.morvane.Tavelin" and certificate leaf[subject.OU] = "QH4T7R2KZ5")";

TEST(RequirementTest, ParsesTheSubsetAndRejectsEverythingElse) {
    const std::pair<std::string, bool> cases[] = {
        {clientRequirement, true},
        {"identifier = \"a\"", true},
        {"certificate leaf [ subject.CN ] = \"x\"", true},
        {"! ! (identifier \"a\" or (anchor apple generic))", true},
        {"identifier \"with \\\"quote\\\" and \\\\ backslash\"", true},
        {"\t( identifier \"a\" )\r\n", true},
        {"", false},
        {"Anchor apple generic", false},
        {"anchor apple generic and", false},
        {"anchor apple generic anchor apple generic", false},
        {"identifier", false},
        {"identifier \"ends in backslash\\", false},
        {"identifier == \"a\"", false},
        {"certificate leaf[subject.OU] \"x\"", false},
        {"certificate leaf[subject.L] = \"x\"", false},
        {"certificate root[subject.OU] = \"x\"", false},
        {"(identifier \"a\"", false},
        {"identifier \"a\")", false},
        {"!", false},
        {"identifier \"a\" && identifier \"b\"", false},
        {std::string("identifier \"a\"\0", 15), false},
        {std::string(5000, ' ') + "anchor apple generic", false},
        {std::string(4000, '('), false},  // without exhausting the stack
    };
    for (const auto& [text, parses] : cases) {
        const auto parsed = Requirement::parse(text);
        EXPECT_EQ(parsed.has_value(), parses)
            << "text: [" << text.substr(0, 100) << "]"
            << (parsed ? "" : " error: " + parsed.error().message);
    }
}

TEST(RequirementTest, EvaluatesConditionsAgainstTheFacts) {
    const CodeFacts client{
        true, "de.morvane.Tavelin", {"QH4T7R2KZ5"}, {"Tavelin Signing"}, {"Morvane"}};
    const std::vector<std::string> team = {"QH4T7R2KZ5"};
    const std::tuple<std::string, CodeFacts, bool> cases[] = {
        {clientRequirement, client, true},
        {clientRequirement, CodeFacts{false, "de.morvane.Tavelin", team, {}, {}}, false},
        {clientRequirement, CodeFacts{true, "de.morvane.tavelin", team, {}, {}}, false},
        {clientRequirement, CodeFacts{true, "de.morvane.Tavelin", {}, {}, {}}, false},
        {clientRequirement, CodeFacts{true, "de.morvane.Tavelin", {team[0], team[0]}, {}, {}},
         false},
        {clientRequirement, CodeFacts{true, "de.morvane.Tavelin", {"OTHERTEAM1", team[0]}, {}, {}},
         false},
        {"certificate leaf[subject.CN] = \"Tavelin Signing\"", client, true},
        {"certificate leaf[subject.O] = \"morvane\"", client, false},
        {"!identifier \"de.morvane.Tavelin\"", client, false},
        // "and" binds tighter than "or".
        {"identifier \"x\" and anchor apple generic or identifier \"de.morvane.Tavelin\"", client,
         true},
        {"identifier \"x\" and (anchor apple generic or identifier \"de.morvane.Tavelin\")", client,
         false},
        {"identifier \"a\\\"b\"", CodeFacts{true, "a\"b", {}, {}, {}}, true},
    };
    for (const auto& [text, facts, satisfied] : cases) {
        const auto parsed = Requirement::parse(text);
        ASSERT_TRUE(parsed.has_value()) << text << ": " << parsed.error().message;
        EXPECT_EQ(parsed.value().isSatisfiedBy(facts), satisfied)
            << "text: " << text << " identifier: " << facts.identifier;
    }
}

}  // namespace
}  // namespace tavelin
