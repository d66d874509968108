#include "export/second_values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace data_export {
namespace {

TEST(SecondValues, ShownValueReadsOnlyWhatAFieldShowsAsANumber) {
    EXPECT_EQ(ShownValue("97.0"), 97.0);
    EXPECT_EQ(ShownValue("-3"), -3.0);
    EXPECT_EQ(ShownValue("0.25"), 0.25);
    EXPECT_FALSE(ShownValue("x"));
    EXPECT_FALSE(ShownValue(""));
    EXPECT_FALSE(ShownValue("*** No data"));
    EXPECT_FALSE(ShownValue("97.0 %"));
    EXPECT_FALSE(ShownValue("nan"));
    EXPECT_FALSE(ShownValue("inf"));
    EXPECT_FALSE(ShownValue("0x10"));
    EXPECT_FALSE(ShownValue(std::string(40, '9')));
}

class LocalZone : public ::testing::Test {
protected:
    void Use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_ =
        std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(LocalZone, IsoTimeCarriesMillisecondsAndTheOffset) {
    char out[40];
    // 2026-12-09T20:52:00.125Z
    const int64_t t = 1796849520125000;
    Use("UTC0");
    ASSERT_EQ(FormatIsoLocalTime(t, out, sizeof out), 29u);
    EXPECT_STREQ(out, "2026-12-09T20:52:00.125+00:00");
    Use("CET-1");
    ASSERT_EQ(FormatIsoLocalTime(t, out, sizeof out), 29u);
    EXPECT_STREQ(out, "2026-12-09T21:52:00.125+01:00");
    Use("NST+3:30");
    ASSERT_EQ(FormatIsoLocalTime(t, out, sizeof out), 29u);
    EXPECT_STREQ(out, "2026-12-09T17:22:00.125-03:30");
    // Before 1970 the milliseconds still count forward within their second.
    Use("UTC0");
    ASSERT_EQ(FormatIsoLocalTime(-1500, out, sizeof out), 29u);
    EXPECT_STREQ(out, "1969-12-31T23:59:59.998+00:00");
    EXPECT_EQ(FormatIsoLocalTime(t, out, 29), 0u);
}

TEST(SecondValues, LinkStatesHaveTheirNames) {
    EXPECT_STREQ(LinkStateName(LinkState::kConnected), "connected");
    EXPECT_STREQ(LinkStateName(LinkState::kLost), "lost");
    EXPECT_STREQ(LinkStateName(LinkState::kNoData), "no data");
    EXPECT_STREQ(LinkStateName(LinkState::kClosed), "closed");
}

}  // namespace
}  // namespace data_export
