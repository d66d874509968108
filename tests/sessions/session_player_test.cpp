// The session player: a recorded session runs through the live link's decoding and
// interpretation, shows the recorded events as a live link does, and goes on from a
// kept state exactly as it would have played.
#include "sessions/session_player.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "link/frame_handler.h"
#include "link/oximeter.h"
#include "tests/support/temp_dir.h"
#include "tools/oximeter-sim/sim_session.h"

namespace {

// What the player shows: the field texts and every plot operation in order.
class RecordingView : public processing::IMeasurementView {
public:
    void SetFieldText(int field, const char* text) override { fields[field] = text; }
    void AppendSample(uint8_t value, Colour colour) override {
        ops.push_back("s" + std::to_string(value) + ":" + std::to_string(colour));
    }
    void AppendPulseTrend(uint8_t value) override { ops.push_back("t" + std::to_string(value)); }
    void ResetPlot() override { ops.push_back("reset"); }
    void RedrawPlot() override { ops.push_back("redraw"); }
    void PlaySoundAsync(const char*) override { ++sounds; }
    std::string fields[ViewFieldCount];
    std::vector<std::string> ops;
    int sounds = 0;
};

// The live way: the device bytes straight into a link as its receive thread feeds them.
class DirectView : public ILinkView {
public:
    void SetFieldText(int field, const char* text) override { fields[field] = text; }
    int GetFieldText(int, char* buffer, int) override {
        buffer[0] = '\0';
        return 0;
    }
    bool IsFieldModified(int) override { return false; }
    void SetFieldModified(int, bool) override {}
    void AppendSample(uint8_t value, Colour colour) override {
        ops.push_back("s" + std::to_string(value) + ":" + std::to_string(colour));
    }
    void AppendPulseTrend(uint8_t value) override { ops.push_back("t" + std::to_string(value)); }
    void ResetPlot() override { ops.push_back("reset"); }
    void RedrawPlot() override { ops.push_back("redraw"); }
    void PostPacketMessage(int code, COximeter* link) override {
        if (code == 1) link->ProcessPackets();
    }
    void RunPendingCalls() override {}
    void PlaySoundAsync(const char*) override {}
    std::string fields[ViewFieldCount];
    std::vector<std::string> ops;
};

std::string MakeSession(const testing_support::TempDir& dir, const sim::SessionOptions& o) {
    const std::string path = dir.File("session.vcap");
    std::string error;
    EXPECT_TRUE(sim::WriteSimulatedSession(path, o, &error)) << error;
    return path;
}

sim::SessionOptions Protocol2(double seconds) {
    sim::SessionOptions o;
    o.device.protocol = 2;
    o.seconds = seconds;
    return o;
}

TEST(SessionPlayer, ShowsWhatTheLiveLinkShowsForTheSameBytes) {
    testing_support::TempDir dir;
    const std::string path = MakeSession(dir, Protocol2(20));

    SessionPlayer player;
    ASSERT_TRUE(player.Open(path)) << player.Error();
    RecordingView view;
    player.SetOutput(&view);
    EXPECT_EQ(player.Duration(), 20020000u);
    EXPECT_TRUE(player.AdvanceTo(20000000));

    processing::Measurement m;
    m.SetLogging(false);
    DirectView direct;
    COximeter link(nullptr, 2, false, &m);
    link.AttachView(&direct);
    link.ResetDisplay();
    LinkFrameHandler handler(link, {});
    sim::DeviceModel model(Protocol2(20).device);
    for (int i = 0; i < 20 * 50; ++i) {
        std::vector<uint8_t> bytes = model.NextRecordBytes();
        link.Decoder().Feed(bytes.data(), bytes.size(), handler);
    }
    link.AttachView(nullptr);

    ASSERT_GT(direct.ops.size(), 900u);
    ASSERT_EQ(view.ops.size(), direct.ops.size());
    EXPECT_TRUE(std::equal(direct.ops.begin(), direct.ops.end(), view.ops.begin()));
    for (int f : {Spo2, Pulse, Perfusion_IR, RHbCO, LedS_IR, Temp, Sensor_IR, StatusText}) {
        EXPECT_EQ(view.fields[f], direct.fields[f]) << ViewFieldName(f);
        EXPECT_NE(direct.fields[f], "x");
    }
    // The recorded program closed its port at the end.
    EXPECT_FALSE(player.AdvanceTo(player.Duration()));
    EXPECT_EQ(view.fields[StatusText], "Disconnected");
    EXPECT_EQ(view.fields[Spo2], "x");
    EXPECT_EQ(view.fields[PortText], "/dev/ttyUSB0");
    EXPECT_EQ(view.fields[ComputerText], "ward-3");
}

TEST(SessionPlayer, TimeFieldShowsTheRecordedTime) {
    testing_support::TempDir dir;
    sim::SessionOptions o = Protocol2(5);
    const std::string path = MakeSession(dir, o);
    SessionPlayer player;
    ASSERT_TRUE(player.Open(path));
    RecordingView view;
    player.SetOutput(&view);
    player.AdvanceTo(4000000);
    std::time_t when = static_cast<std::time_t>((o.start_unix_us + 4000000) / 1000000);
    std::tm local{};
    localtime_r(&when, &local);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    // The time field is written every 26th record: within the last second.
    std::time_t before = when - 1;
    localtime_r(&before, &local);
    char earlier[32];
    std::strftime(earlier, sizeof earlier, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_TRUE(view.fields[TimeText] == expected || view.fields[TimeText] == earlier)
        << view.fields[TimeText];
}

TEST(SessionPlayer, LostBackAndSilenceShowAsTheLiveLinkShowsThem) {
    testing_support::TempDir dir;
    sim::SessionOptions o = Protocol2(30);
    o.gaps = {{10.0, 4.0, true}, {20.0, 5.0, false}};
    const std::string path = MakeSession(dir, o);
    SessionPlayer player;
    ASSERT_TRUE(player.Open(path));
    RecordingView view;
    player.SetOutput(&view);

    player.AdvanceTo(9990000);
    EXPECT_EQ(view.fields[StatusText].rfind("***", 0), std::string::npos)
        << view.fields[StatusText];
    EXPECT_NE(view.fields[Spo2], "x");
    player.AdvanceTo(10000000);
    EXPECT_EQ(view.fields[StatusText], "*** Connection lost (error 5)");
    EXPECT_EQ(view.fields[Spo2], "x");
    EXPECT_EQ(view.ops.back(), "reset");
    // A lost device is no silence: no "No data" while it is away.
    player.AdvanceTo(13990000);
    EXPECT_EQ(view.fields[StatusText], "*** Connection lost (error 5)");
    player.AdvanceTo(14000000);
    EXPECT_EQ(view.fields[StatusText], "Connected..");
    player.AdvanceTo(16000000);
    EXPECT_NE(view.fields[Spo2], "x");

    // Silent from 20 s: "No data" 3 s after the last good frame, not before.
    player.AdvanceTo(22900000);
    EXPECT_NE(view.fields[StatusText], "*** No data");
    player.AdvanceTo(23000000);
    EXPECT_EQ(view.fields[StatusText], "*** No data");
    EXPECT_EQ(view.fields[Pulse], "x");
    EXPECT_TRUE(player.NoData());
    player.AdvanceTo(27000000);
    EXPECT_FALSE(player.NoData());
    EXPECT_NE(view.fields[Pulse], "x");
}

TEST(SessionPlayer, GoesOnFromAKeptStateAsItWouldHavePlayed) {
    testing_support::TempDir dir;
    sim::SessionOptions o = Protocol2(40);
    o.gaps = {{25.0, 4.0, false}};
    const std::string path = MakeSession(dir, o);

    SessionPlayer through;
    ASSERT_TRUE(through.Open(path));
    RecordingView played;
    through.SetOutput(&played);
    through.AdvanceTo(12345000);
    SessionPlayer::State kept;
    through.Save(kept);
    const size_t ops_at_kept = played.ops.size();
    through.AdvanceTo(33000000);

    // Another player over the same file, restored to the kept state.
    SessionPlayer other;
    ASSERT_TRUE(other.Open(path));
    RecordingView resumed;
    other.SetOutput(&resumed);
    ASSERT_TRUE(other.Restore(kept));
    other.AdvanceTo(33000000);
    ASSERT_EQ(resumed.ops.size(), played.ops.size() - ops_at_kept);
    EXPECT_TRUE(std::equal(resumed.ops.begin(), resumed.ops.end(),
                           played.ops.begin() + static_cast<long>(ops_at_kept)));
    for (int f = 0; f < ViewFieldCount; ++f)
        EXPECT_EQ(other.FieldText(f), through.FieldText(f)) << ViewFieldName(f);
    EXPECT_EQ(other.Position(), through.Position());
}

TEST(SessionPlayer, MutedKeepsTheTextsAndShowsThemWhenUnmuted) {
    testing_support::TempDir dir;
    const std::string path = MakeSession(dir, Protocol2(10));
    SessionPlayer player;
    ASSERT_TRUE(player.Open(path));
    RecordingView view;
    player.SetOutput(&view);
    player.AdvanceTo(1000000);
    const std::string shown = view.fields[Spo2];
    player.SetMuted(true);
    player.AdvanceTo(8000000);
    EXPECT_EQ(view.fields[Spo2], shown);
    player.SetMuted(false);
    for (int f = 0; f < ViewFieldCount; ++f) EXPECT_EQ(view.fields[f], player.FieldText(f));
}

TEST(SessionPlayer, PlaysOnAfterDamageInTheFile) {
    testing_support::TempDir dir;
    const std::string path = MakeSession(dir, Protocol2(20));
    std::string bytes = dir.Read("session.vcap");
    // A stretch of garbage in the middle of the records.
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 500; ++i) bytes[i] = '\x5A';
    dir.Write("session.vcap", bytes);
    SessionPlayer player;
    ASSERT_TRUE(player.Open(path));
    RecordingView view;
    player.SetOutput(&view);
    player.AdvanceTo(19000000);
    EXPECT_EQ(player.Position(), 19000000u);
    EXPECT_GE(player.Reader().damages(), 1u);
    EXPECT_NE(view.fields[Spo2], "x");
    EXPECT_EQ(player.Duration(), 20020000u);
}

TEST(SessionPlayer, WritesNoLogAndRefusesWhatIsNoCapture) {
    testing_support::TempDir dir;
    const std::string path = MakeSession(dir, Protocol2(5));
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        SessionPlayer player;
        ASSERT_TRUE(player.Open(path));
        player.AdvanceTo(player.Duration());
    }
    std::FILE* log = std::fopen("fTxtLog.txt", "rb");
    const bool wrote = log != nullptr;
    if (log != nullptr) std::fclose(log);
    ASSERT_EQ(chdir(here), 0);
    EXPECT_FALSE(wrote);

    dir.Write("plain.txt", "not a capture at all, just some words");
    SessionPlayer player;
    EXPECT_FALSE(player.Open(dir.File("plain.txt")));
    EXPECT_FALSE(player.Error().empty());
    EXPECT_FALSE(player.Open(dir.File("missing.vcap")));
}

}  // namespace
