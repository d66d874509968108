// A window's alarms as the window shows them: the pane's lines, the flashing value
// field, the limits beside the values, the burst that sounds and the audio pause.
#include "display/alarm_watch.h"

#include <gtest/gtest.h>

#include <QLabel>

#include "display/colour_label.h"
#include "display/monitoring_view.h"
#include "tests/support/debug_capture.h"

namespace {

TEST(AlarmWatch, AWindowShowsFlashesAndSoundsItsAlarms) {
    testing_support::DebugCapture debug;
    CVELTMonitoringView view(nullptr, false);
    AlarmWatch watch(&view);
    uint64_t now = 0;
    auto run = [&](double seconds, const char* spo2, const char* status = "OK") {
        view.SetFieldText(Spo2, spo2);
        view.SetFieldText(Pulse, "75.0");
        view.SetFieldText(StatusText, status);
        for (uint64_t end = now + static_cast<uint64_t>(seconds * 1000); now < end; now += 100)
            watch.Tick(now);
    };
    EXPECT_EQ(view.findChild<QLabel*>("spo2-limits")->text(), "\u2265 90 (85)");
    EXPECT_EQ(view.findChild<QLabel*>("pulse-limits")->text(), "> 50 < 120");

    run(9.9, "86.0");
    EXPECT_TRUE(watch.Pane()->Lines().isEmpty());
    run(0.2, "86.0");
    EXPECT_EQ(watch.Pane()->Lines(), QStringList{"** SpO2 86 < 90"});
    EXPECT_EQ(watch.LastBurst(), alarms::Priority::kMedium);
    // Medium flashes yellow about 0.7 times a second.
    ColourLabel& spo2 = view.FieldControlAt(Spo2)->Colours();
    int yellow = 0;
    for (int i = 0; i < 14; ++i) {
        run(0.1, "86.0");
        yellow += spo2.BackgroundColour() == RGB(255, 230, 0);
    }
    EXPECT_TRUE(yellow >= 5 && yellow <= 9) << yellow;

    // A desaturation sounds through an audio pause; it latches when it ends.
    watch.PauseAudio();
    run(3, "80.0");
    EXPECT_EQ(watch.Pane()->Lines()[0], "Audio paused 1:57");
    EXPECT_EQ(watch.LastBurst(), alarms::Priority::kMedium);
    run(3, "80.0");
    EXPECT_EQ(watch.LastBurst(), alarms::Priority::kHigh);
    EXPECT_TRUE(watch.Pane()->Lines()[0].startsWith("*** SpO2 80 < 85"))
        << watch.Pane()->Lines()[0].toStdString();
    run(3, "97.0", "Finger?");
    const QStringList lines = watch.Pane()->Lines();
    ASSERT_EQ(lines.size(), 1) << lines.join("|").toStdString();
    EXPECT_TRUE(lines[0].startsWith("*** SpO2 80 < 85 (ended ")) << lines[0].toStdString();
    EXPECT_EQ(spo2.BackgroundColour(), RGB(240, 240, 240));
    EXPECT_NE(debug.Text().find("Alarm end: *** SpO2 80 < 85"), std::string::npos);

    alarms::Settings off = alarms::Settings::Defaults();
    for (alarms::Limit& l : off.limits) l.on = false;
    watch.SetSettings(off);
    run(0.1, "97.0");
    EXPECT_EQ(watch.Pane()->Lines(), QStringList{"ALARMS OFF"});
}

}  // namespace
