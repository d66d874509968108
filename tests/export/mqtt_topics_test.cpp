#include "export/mqtt_topics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace mqtt {
namespace {

TEST(MqttTopics, NamesThatWouldSplitOrMatchTopicsAreRefused) {
    EXPECT_TRUE(ValidTopicName("bed-3"));
    EXPECT_TRUE(ValidTopicName("Station 4 (left)"));
    EXPECT_FALSE(ValidTopicName(""));
    EXPECT_FALSE(ValidTopicName("a/b"));
    EXPECT_FALSE(ValidTopicName("a+"));
    EXPECT_FALSE(ValidTopicName("#"));
    EXPECT_FALSE(ValidTopicName("a\tb"));
    EXPECT_FALSE(ValidTopicName("a\x7f"));
}

TEST(MqttTopics, EscapedNamesStayOneLevelAndComeBackUnchanged) {
    for (const char* name : {"FT232R USB UART#A50285BI", "a/b+c", "100%", "x\ny", "plain"}) {
        const std::string escaped = EscapeTopicName(name);
        EXPECT_TRUE(ValidTopicName(escaped)) << escaped;
        EXPECT_EQ(UnescapeTopicName(escaped), name);
    }
    EXPECT_EQ(EscapeTopicName("FT232R#A5"), "FT232R%23A5");
    // '%' itself is escaped, so "a%2Fb" and "a/b" never share a topic.
    EXPECT_NE(EscapeTopicName("a%2Fb"), EscapeTopicName("a/b"));
    EXPECT_EQ(EscapeTopicName(""), "_");
}

TEST(MqttTopics, TopicsAreBuiltAndReadBack) {
    const std::string t = Topic("bed-3", "COM1", Leaf::kValues);
    EXPECT_EQ(t, "velt/v1/bed-3/COM1/values");
    TopicParts p;
    ASSERT_TRUE(ParseTopic(t, &p));
    EXPECT_EQ(p.monitor, "bed-3");
    EXPECT_EQ(p.port, "COM1");
    EXPECT_EQ(p.leaf, Leaf::kValues);
    ASSERT_TRUE(ParseTopic("velt/v1/m/p/other", &p));
    EXPECT_EQ(p.leaf, Leaf::kUnknown);
    EXPECT_FALSE(ParseTopic("velt/v2/m/p/values", &p));
    EXPECT_FALSE(ParseTopic("velt/v1/m/values", &p));
    EXPECT_FALSE(ParseTopic("velt/v1/m/p/values/x", &p));
    EXPECT_FALSE(ParseTopic("velt/v1//p/values", &p));
}

TEST(MqttTopics, AlarmsCarryTheirStateAndEventCodeAndTechnicalOnesNoValue) {
    AlarmInfo low{"spo2-low", "medium", false, 0, true, 86, 90, "** SpO2 86 < 90"};
    AlarmInfo lost{"no-data", "medium", true, 0, false, 0, 0, "** No data"};
    const AlarmInfo list[] = {low, lost};
    std::string out;
    AlarmsJson(0, list, 2, out);
    EXPECT_EQ(
        out.substr(out.find(",\"alarms\"")),
        R"(,"alarms":[{"name":"spo2-low","priority":"medium","state":"active",)"
        R"("since":null,"value":86,"limit":90,"text":"** SpO2 86 < 90","code":196670,)"
        R"("mdc":"MDC_EVT_LO"},{"name":"no-data","priority":"medium","state":"latched",)"
        R"("since":null,"value":null,"limit":null,"text":"** No data","code":null,"mdc":null}]})");
    const std::string end = AlarmEventJson(0, "end", low);
    EXPECT_EQ(end.substr(end.find(",\"event\"")),
              R"(,"event":"alarm","alarm":"end","name":"spo2-low","priority":"medium",)"
              R"("state":"active","since":null,"value":86,"limit":90,"text":"** SpO2 86 < 90",)"
              R"("code":196670,"mdc":"MDC_EVT_LO"})");
    TopicParts p;
    ASSERT_TRUE(ParseTopic(Topic("bed-3", "COM1", Leaf::kAlarms), &p));
    EXPECT_EQ(p.leaf, Leaf::kAlarms);
}

TEST(MqttTopics, ValuesCarryCodesUnitsAndNullForWhatTheWindowShowsAsX) {
    setenv("TZ", "UTC0", 1);
    tzset();
    data_export::SecondValues v;
    v.unix_us = 1796849520125000;
    v.spo2 = "97.5";
    v.pulse = "x";
    v.perfusion = "0.09";
    v.rhbco = "";
    v.status = "Finger? \"left\"";
    v.link = data_export::LinkState::kConnected;
    v.frames = 3036;
    v.bad = 1;
    v.lost = 2;
    std::string json;
    ValuesJson(v, json);
    EXPECT_EQ(
        json,
        "{\"time\":\"2026-12-09T20:52:00.125+00:00\","
        "\"spo2\":{\"value\":97.5,\"unit\":\"%\",\"code\":150456,\"mdc\":\"MDC_PULS_OXIM_SAT_O2\"},"
        "\"pulse\":{\"value\":null,\"unit\":\"bpm\",\"code\":149530,\"mdc\":\"MDC_PULS_OXIM_PULS_"
        "RATE\"},"
        "\"perfusion\":{\"value\":0.09,\"unit\":\"%\",\"code\":150488,\"mdc\":\"MDC_BLD_PERF_"
        "INDEX\"},"
        "\"rhbco\":{\"value\":null,\"unit\":\"%\"},\"status\":\"Finger? \\\"left\\\"\","
        "\"link\":{\"state\":\"connected\",\"frames\":3036,\"bad\":1,\"lost\":2}}");
    EXPECT_EQ(StateJson(false, 0), "{\"state\":\"offline\",\"since\":null}");
    EXPECT_EQ(StateJson(true, v.unix_us),
              "{\"state\":\"online\",\"since\":\"2026-12-09T20:52:00.125+00:00\"}");
    EXPECT_EQ(
        EventJson(v.unix_us, "status", "a\x01"),
        "{\"time\":\"2026-12-09T20:52:00.125+00:00\",\"event\":\"status\",\"text\":\"a\\u0001\"}");
    const uint16_t ir[] = {100, 65535, 0};
    PlethJson(v.unix_us, 50, ir, 3, json);
    EXPECT_EQ(json,
              "{\"time\":\"2026-12-09T20:52:00.125+00:00\",\"rate\":50,\"ir\":[100,65535,0]}");
    unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace mqtt
