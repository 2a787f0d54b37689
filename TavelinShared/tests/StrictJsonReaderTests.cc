#include <gtest/gtest.h>

#include <string>

#include "TavelinShared/UnicodeText.h"
#include "TavelinShared/src/StrictJsonReader.h"

namespace tavelin::json {
namespace {

std::string shown(std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
}

// Looks at {"a": {"b": <value>}, "list": [<value>...]} and writes down what it receives,
// one "<place>:<type>[=<value>]" per value.
class TracingReceiver final : public JsonReceiver {
  public:
    enum : Place { a = 1, list, b, element };

    [[nodiscard]] Place memberPlace(Place object, std::string_view name) const override {
        if (object == rootPlace) {
            return name == "a" ? a : name == "list" ? list : ignored;
        }
        return object == a && name == "b" ? b : ignored;
    }
    [[nodiscard]] Place elementPlace(Place array) const override {
        return array == list ? element : ignored;
    }
    [[nodiscard]] Status<DecodingError> receive(Place place, JsonValue& value) override {
        static constexpr const char* typeNames[] = {"object",  "array",  "string",
                                                    "boolean", "number", "null"};
        trace_ += (trace_.empty() ? "" : " ") + std::to_string(place) + ":" +
                  typeNames[static_cast<int>(value.type)];
        if (value.type == JsonType::string) {
            trace_ += "=" + *value.string;
        } else if (value.type == JsonType::boolean) {
            trace_ += value.boolean ? "=true" : "=false";
        } else if (value.integer) {
            trace_ += "=" + std::to_string(*value.integer);
        }
        return {};
    }
    void restart() override { trace_.clear(); }

    [[nodiscard]] const std::string& trace() const { return trace_; }

  private:
    std::string trace_;
};

TEST(StrictJsonReaderTests, HandsOverTheValuesAtPlacesOnceInDocumentOrder) {
    const struct {
        std::string input, trace;
    } cases[] = {
        {R"({"a":{"b":{"deep":[1]},"c":2},"z":[1,2,3]})", "0:object 1:object 3:object"},
        {R"({"a":[{"b":1}],"list":["s",true,null,[2,[3]],{"k":4}]})",
         "0:object 1:array 2:array 4:string=s 4:boolean=true 4:null 4:array 4:object"},
        {R"({"z":{"a":{"b":1}},"y":[{"list":[1]}]})", "0:object"},
        {R"("top")", "0:string=top"},
        // Numbers by exact value when that is an integer in the signed 64-bit range,
        // however written and judged from the digits; others only as numbers.
        {R"({"list":[1.0,-0.0,0.7e1,1E+3,9007199254740993.0,-9223372036854775808.0,
                     9223372036854775807,9223372036854775808,1e-400,2.5,-9223372036854775809]})",
         "0:object 2:array 4:number=1 4:number=0 4:number=7 4:number=1000 "
         "4:number=9007199254740993 4:number=-9223372036854775808 "
         "4:number=9223372036854775807 4:number 4:number 4:number 4:number"},
        // Beyond a double's range: a number, and everything once, though such a text is read
        // twice.
        {R"({"list":[0.5,1e400,-1e999,7],"z":1e400})",
         "0:object 2:array 4:number 4:number 4:number 4:number=7"},
        // Such a number in a string is no number.
        {R"({"list":["1e999","\"-2e999",true,false,null,1e999]})",
         "0:object 2:array 4:string=1e999 4:string=\"-2e999 4:boolean=true 4:boolean=false "
         "4:null 4:number"},
    };
    for (const auto& c : cases) {
        TracingReceiver receiver;
        const auto read = readJson(c.input, receiver);
        ASSERT_TRUE(read.has_value()) << shown(c.input) << ": " << read.error().description;
        EXPECT_EQ(receiver.trace(), c.trace) << shown(c.input);
    }
}

TEST(StrictJsonReaderTests, RefusesAnythingButOneStrictUtf8JsonTextWithSingleNamesAtPlaces) {
    const struct {
        std::string input;
        bool accepted;
    } cases[] = {
        // Syntax and trailing content.
        {" [ ] \n", true},
        {"[] []", false},
        {"[1,]", false},
        {"[01]", false},
        {"[NaN]", false},
        // Numbers of any size, also beyond a double's range; the rest of the text still counts.
        {"[1e999,-2e308,\"x\",1.5]", true},
        {"[" + std::string(400, '9') + "]", true},
        {"[1e999,01]", false},
        {"[1e999,01e999]", false},  // "0" then "1e999": no number "01e999"
        {"\xEF\xBB\xBF[1e999]", true},
        {"/* c */ []", false},
        {"[\"a\tb\"]", false},  // raw control character in a string
        {"[\"\\u00e\"]", false},
        {"\xEF\xBB\xBF[]", true},  // a byte order mark at the start is skipped
        {"[]\xEF\xBB\xBF", false},
        // UTF-8 in strings: well-formed sequences only, escaped surrogates only in pairs.
        {"[\"\xC3\xBC\xE2\x80\x93\xF0\x9F\x98\x80\"]", true},
        {"[\"\\ud83d\\ude00\"]", true},
        {"[\"\x80\"]", false},
        {"[\"\xE2\x80\"]", false},
        {"[\"\xC0\xAF\"]", false},          // overlong '/'
        {"[\"\xED\xA0\x80\"]", false},      // encoded surrogate
        {"[\"\xF4\x90\x80\x80\"]", false},  // beyond U+10FFFF
        {"[\"\\ud800x\"]", false},
        {"[\"\\udc00\"]", false},
        {"[1\xC2\xA0]", false},  // NO-BREAK SPACE is no JSON whitespace
        // Member names once per object at a place, also one whose members are all ignored;
        // names compare after unescaping and byte for byte (no normalisation). Objects in
        // ignored values may repeat names.
        {R"({"a":1,"A":1,"b":{"a":1},"c":[{"a":1}]})", true},
        {R"({"\u00fc":1,"u\u0308":1})", true},
        {R"({"\/":1,"/":1})", false},
        {R"({"a":{"b":1,"b":2}})", false},
        {R"({"a":{"b":{"d":1,"d":2}}})", false},
        {R"({"list":[{"k":1,"k":2}]})", false},
        {R"({"z":[[{"x":1,"y":2,"x":3}]],"a":{"c":{"x":1,"x":2}},"list":[[{"k":1,"k":2}]]})", true},
        {R"({"z":1e400,"y":{"q":1,"q":2},"a":{"b":[-1e999]}})", true},
        {R"({"z":1e400,"list":[],"list":[]})", false},
    };
    for (const auto& c : cases) {
        TracingReceiver receiver;
        const auto read = readJson(c.input, receiver);
        EXPECT_EQ(read.has_value(), c.accepted) << shown(c.input);
        if (!read.has_value()) {
            EXPECT_EQ(read.error().kind, DecodingErrorKind::dataCorrupted) << shown(c.input);
            EXPECT_TRUE(read.error().codingPath.empty()) << shown(c.input);
        }
    }
}

TEST(StrictJsonReaderTests, KeepsDescriptionsShortAndUtf8WhateverTheDocumentHolds) {
    const std::string inputs[] = {
        "[\"" + std::string(100000, 'a') + "\xFF\"]",
        "{\"" + std::string(5000, 'k') + "\xC3\xBC\":1,\"" + std::string(5000, 'k') +
            "\xC3\xBC\":2}",
    };
    for (const auto& input : inputs) {
        TracingReceiver receiver;
        const auto read = readJson(input, receiver);
        ASSERT_FALSE(read.has_value()) << input.size();
        EXPECT_LT(read.error().description.size(), 1000U);
        EXPECT_TRUE(UnicodeText::isValidUtf8(read.error().description)) << read.error().description;
    }
}

}  // namespace
}  // namespace tavelin::json
