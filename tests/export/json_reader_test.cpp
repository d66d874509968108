#include "export/json_reader.h"

#include <gtest/gtest.h>

#include <string>

TEST(JsonReader, ReadsPayloadsAndRefusesWhatIsNoJson) {
    json::Value v;
    std::string e;
    ASSERT_TRUE(json::Parse(
        R"( {"spo2":{"value":97.5},"text":"a\"\u00e9\ud83d\ude00\n","x":[1,-2e1,null,true]} )", &v,
        &e))
        << e;
    EXPECT_EQ(v.Get("spo2")->Number("value"), 97.5);
    EXPECT_EQ(v.String("text"), "a\"\xc3\xa9\xf0\x9f\x98\x80\n");
    ASSERT_EQ(v.Get("x")->items.size(), 4u);
    EXPECT_EQ(v.Get("x")->items[1].number, -20);
    EXPECT_FALSE(v.Number("text"));  // of another type
    EXPECT_FALSE(v.String("missing"));

    const std::pair<const char*, const char*> bad[] = {
        {R"({"a":1} x)", "unexpected 'x' at 8"},
        {R"({"a":})", "bad number at 5"},
        {R"({"a":"b)", "unterminated string at 7"},
        {"{\"a\":\"\x01\"}", "control character in a string at 7"},
        {R"({"a":1,})", "expected a name at 7"},
        {"", "unexpected end at 0"},
    };
    for (const auto& [text, why] : bad) {
        EXPECT_FALSE(json::Parse(text, &v, &e)) << text;
        EXPECT_EQ(e, why) << text;
    }
    // Deep nesting is refused, not followed down the stack.
    EXPECT_FALSE(json::Parse(std::string(100000, '['), &v, &e));
    EXPECT_EQ(e, "nesting deeper than 32 at 33");
}
