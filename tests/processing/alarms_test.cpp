// Alarms over what a window shows, record by record (20 ms), and the sound they make.
#include "processing/alarms.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "processing/alarm_sound.h"
#include "tests/support/temp_dir.h"

namespace {

using alarms::AlarmMonitor;
using alarms::Event;
using alarms::Priority;

struct Shows {
    AlarmMonitor monitor;
    std::vector<Event> events;
    uint64_t now = 0;
    static void Collect(void* c, const Event& e) { static_cast<Shows*>(c)->events.push_back(e); }
    // Shows f(t) for the given seconds, one record at a time.
    void Show(double seconds, const std::function<alarms::Shown(double)>& f) {
        for (uint64_t end = now + static_cast<uint64_t>(seconds * 1000); now < end; now += 20)
            monitor.Update(now, f(now / 1000.0), Collect, this);
    }
    std::string Log() const {
        std::string s;
        for (const Event& e : events)
            s += std::to_string(e.time_ms) + " " + alarms::EventName(e.what) + " " +
                 alarms::Name(e.alarm.kind) + "; ";
        return s;
    }
};

alarms::Shown Spo2(double v) {
    alarms::Shown s;
    s.spo2 = v;
    s.pulse = 70;
    return s;
}

TEST(Alarms, DelaysBreaksAndTheEndAtTheLimit) {
    Shows r;
    // 97 %, then a fall to 86 % over 20 s, held, and back.
    r.Show(90, [](double t) {
        return Spo2(t < 10 ? 97 : t < 30 ? 97 - 11 * (t - 10) / 20 : t < 70 ? 86 : 97);
    });
    // Below 90 from 22.74 s: the alarm 10 s later (86 % by then); 97 again at 70 s, the
    // end 2 s later.
    ASSERT_EQ(r.events.size(), 2u) << r.Log();
    EXPECT_EQ(r.events[0].alarm.kind, alarms::kSpo2Low);
    EXPECT_NEAR(r.events[0].time_ms, 32740, 20);
    EXPECT_EQ(alarms::Text(r.events[0].alarm), "** SpO2 86 < 90");
    EXPECT_EQ(r.events[1].what, Event::kEnd);
    EXPECT_EQ(r.events[1].time_ms, 72000u);

    // A 5 s dip, and 8 s below broken by a second without a value: nothing starts.
    r.events.clear();
    r.Show(5, [](double) { return Spo2(88); });
    r.Show(5, [](double) { return Spo2(97); });
    r.Show(8, [](double) { return Spo2(88); });
    r.Show(1, [](double) { return Spo2(-1); });
    r.Show(8, [](double) { return Spo2(88); });
    EXPECT_EQ(r.events.size(), 0u) << r.Log();
    // An active alarm does not end while no value is shown; the link's alarm says why.
    r.Show(3, [](double) { return Spo2(88); });  // 10 s below since 109 s
    alarms::Shown lost;
    lost.link_lost = true;
    r.Show(5, [&](double) { return lost; });
    EXPECT_EQ(r.Log(), "119000 start spo2-low; 120000 start link-lost; ");
}

TEST(Alarms, AHighAlarmLatchesUntilAcknowledgedAndTheListIsHighestFirst) {
    Shows r;
    r.Show(12, [](double t) { return Spo2(t < 1 ? 97 : 80); });
    alarms::Shown finger = Spo2(80);
    finger.sensor = "Finger?";
    r.Show(11, [&](double) { return finger; });
    r.Show(3, [](double) { return Spo2(97); });
    alarms::Entry list[8];
    ASSERT_EQ(r.monitor.List(list, 8), 1u) << r.Log();
    EXPECT_EQ(alarms::Text(list[0], "10:42:05"), "*** SpO2 80 < 85 (ended 10:42:05)");
    EXPECT_EQ(r.monitor.Highest(), Priority::kNone);
    EXPECT_TRUE(r.monitor.Acknowledge(alarms::kSpo2Desat, r.now, Shows::Collect, &r));
    EXPECT_EQ(r.monitor.List(list, 8), 0u);
    EXPECT_EQ(
        r.Log(),
        "6000 start spo2-desat; 11000 start spo2-low; 22000 start sensor; 25000 end spo2-low; "
        "25000 end spo2-desat; 25000 end sensor; 26000 acknowledged spo2-desat; ");

    // Switched off, an alarm ends at once and never latches; all off shows as such.
    alarms::Settings off = alarms::Settings::Defaults();
    for (alarms::Limit& l : off.limits) l.on = false;
    r.Show(7, [](double) { return Spo2(80); });
    EXPECT_EQ(r.monitor.Highest(), Priority::kHigh);
    r.monitor.SetSettings(off, r.now, Shows::Collect, &r);
    EXPECT_EQ(r.monitor.List(list, 8), 0u);
    EXPECT_TRUE(off.AllOff());
}

TEST(Alarms, SettingsFromTheAlarmsSection) {
    testing_support::TempDir dir;
    dir.Write("a.ini", "[alarms]\r\nspo2-low=92\r\nspo2-low-delay=15\r\nsensor-on=0\r\n");
    alarms::Settings s = alarms::Settings::Defaults();
    std::string error;
    ASSERT_TRUE(s.Load(dir.File("a.ini"), &error)) << error;
    EXPECT_EQ(s.limits[alarms::kSpo2Low].limit, 92);
    EXPECT_EQ(s.limits[alarms::kSpo2Low].delay_s, 15);
    EXPECT_FALSE(s.limits[alarms::kSensor].on);
    EXPECT_EQ(s.limits[alarms::kPulseHigh].limit, 120);
    ASSERT_TRUE(s.Save(dir.File("b.ini")));
    alarms::Settings back = alarms::Settings::Defaults();
    ASSERT_TRUE(back.Load(dir.File("b.ini"), &error));
    EXPECT_TRUE(back == s);
    dir.Write("c.ini", "[alarms]\npulse-high=abc\n");
    EXPECT_FALSE(s.Load(dir.File("c.ini"), &error));
    EXPECT_NE(error.find("[alarms] pulse-high takes 20 to 350, not \"abc\""), std::string::npos);
    EXPECT_FALSE(s.Load(dir.File("missing.ini"), &error));
}

TEST(AlarmSound, BurstsRepeatAndAPauseHoldsUntilAHigherAlarm) {
    // The pulses in the samples: 10 ms blocks with sound after blocks without.
    auto pulses = [](Priority p) {
        const std::vector<int16_t> s = alarms::BurstSamples(p, 8000);
        int n = 0;
        bool was = false;
        for (size_t at = 0; at < s.size(); at += 80) {
            bool sound = false;
            for (size_t i = at; i < at + 80 && i < s.size(); ++i) sound = sound || s[i] != 0;
            n += sound && !was;
            was = sound;
        }
        return n;
    };
    EXPECT_EQ(pulses(Priority::kHigh), 10);
    EXPECT_EQ(pulses(Priority::kMedium), 3);
    EXPECT_EQ(pulses(Priority::kLow), 2);

    alarms::AlarmSound sound;
    std::string heard;
    auto tick = [&](uint64_t from, uint64_t to, Priority p, uint32_t starts) {
        for (uint64_t t = from; t < to; t += 100) {
            Priority b = sound.Tick(t, p, starts);
            if (b != Priority::kNone)
                heard += std::to_string(t / 1000) + alarms::PriorityName(b) + " ";
        }
    };
    tick(0, 31000, Priority::kMedium, 1);  // 0, 15, 30 s
    sound.Pause(31000, Priority::kMedium);
    tick(31000, 60000, Priority::kMedium, 1);  // silent
    tick(60000, 71000, Priority::kHigh, 2);    // sounds through: 60, 65, 70 s
    EXPECT_FALSE(sound.Paused(71000));
    sound.Pause(71000, Priority::kHigh);
    tick(71000, 200000, Priority::kHigh, 2);  // silent for two minutes, then every 5 s
    tick(200000, 202000, Priority::kLow, 2);  // a low alarm once, and again when a new one starts
    tick(202000, 210000, Priority::kLow, 3);
    EXPECT_EQ(heard, "0medium 15medium 30medium 60high 65high 70high 195high 200low 202low ");
}

}  // namespace
