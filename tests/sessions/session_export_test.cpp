// The export session over the real interpretation: documentation texts from a capture
// reach the EDF+ header and annotations, and a link event resets the values the way
// the window does (read back through EDFlib).
#include "sessions/session_export.h"

#include <dirent.h>
#include <edflib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "processing/measurement_view.h"
#include "recordings/capture_file.h"
#include "sessions/session_events.h"
#include "tests/support/temp_dir.h"
#include "tools/oximeter-sim/sim_session.h"

namespace {

class FieldsView : public processing::IMeasurementView {
public:
    void SetFieldText(int field, const char* text) override {
        if (text != nullptr && field >= 0 && field < ViewFieldCount) fields[field] = text;
    }
    void AppendSample(uint8_t, Colour) override {}
    void AppendPulseTrend(uint8_t) override {}
    void ResetPlot() override {}
    void RedrawPlot() override {}
    void PlaySoundAsync(const char*) override {}
    std::string fields[ViewFieldCount];
};

// A protocol-1 record of type 36 (length 50): pleth words from n, SpO2 97.5 %.
std::vector<uint8_t> Record(int n) {
    std::vector<uint8_t> p(50, 0);
    auto put = [&](size_t at, int v) {
        p[at] = static_cast<uint8_t>(v & 0xFF);
        p[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    };
    put(2, 20000 + n);
    put(8, 21000 + n);
    put(14, 22000 + n);
    p[28] = p[29] = p[30] = p[31] = 155;
    put(38, 250);  // perfusion 2.50
    put(40, 723);  // pulse 72.3
    put(46, 975);  // SpO2 97.5
    put(48, 15);   // R-HbCO 1.5
    return p;
}

// A protocol-1 export of a capture to EDF+ and CSV, the display reset as the window's.
class ExportSessionTest : public ::testing::Test {
protected:
    ExportSessionTest() {
        m.SetLogging(false);
        session.SetDisplayReset([this](const char* status) {
            for (int f : {Spo2, Pulse, Perfusion_IR, RHbCO}) view.fields[f] = "x";
            view.fields[StatusText] = status;
        });
    }
    static ExportOptions Options(const testing_support::TempDir& dir) {
        ExportOptions options;
        options.edf_path = dir.File("out.edf");
        options.csv_path = dir.File("out.csv");
        return options;
    }
    testing_support::TempDir dir;
    processing::Measurement m{dir.path()};
    processing::LinkInterpretation state;
    FieldsView view;
    LinkStatistics statistics;
    ExportOptions options = Options(dir);
    ExportSession session{options, view.fields, statistics, m, 1, 1796853127000000, true};
};

TEST_F(ExportSessionTest, CaptureDocumentationAndALossReachTheExport) {
    ASSERT_TRUE(session.Open()) << session.Error();
    // Longer than one annotation, a long word where today's cut would fall.
    const std::string comment = "re-seated fingerclip-sensor-VX20417/left-index at 02:10";
    session.OnDocumentation(0, "Dr Meyer", 0);
    session.OnDocumentation(1, "VX-20417", 0);
    session.OnDocumentation(3, comment, 0);
    for (int n = 0; n < 150; ++n) {  // 3 s, one record a 20 ms chunk
        if (n == 100)
            session.OnLinkEvent(ExportSession::LinkEvent::kLost, 1990000,
                                "error 5 (Input/output error)");
        session.SetChunkTime(n * 20000);
        const std::vector<uint8_t> p = Record(n);
        processing::InterpretRecord(m, state, 36, p.data(), static_cast<int>(p.size()),
                                    n < 100 ? &view : nullptr);
    }
    ASSERT_TRUE(session.Finish()) << session.Error();

    edf_hdr_struct hdr{};
    ASSERT_EQ(edfopen_file_readonly(options.edf_path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS),
              0);
    EXPECT_STREQ(hdr.technician, "Dr Meyer");
    EXPECT_STREQ(hdr.equipment, "VELT oximeter SN VX-20417");
    EXPECT_EQ(hdr.datarecords_in_file, 3);
    std::vector<std::string> texts;
    std::vector<std::string> pieces;
    for (long long i = 0; i < hdr.annotations_in_file; ++i) {
        edf_annotation_struct a{};
        edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
        texts.emplace_back(a.annotation);
        if (a.onset == 0 && texts.back().rfind("Operator", 0) != 0 &&
            texts.back().rfind("Serial", 0) != 0 && texts.back() != "OK" &&
            texts.back().find("(empty)") == std::string::npos)
            pieces.push_back(texts.back());
    }
    const std::vector<std::string> words = {"Comment: re-seated ",
                                            "fingerclip-sensor-VX20417/left-index at ", "02:10"};
    EXPECT_EQ(pieces, words);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Operator: Dr Meyer"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Lost: error 5 (Input/output error)"),
              texts.end());
    int spo2[3] = {};
    edfread_digital_samples(hdr.handle, 3, 3, spo2);
    edfclose_file(hdr.handle);
    // When each second began: nothing yet, 97.5 shown, "x" after the loss.
    EXPECT_EQ(spo2[0], -32768);
    EXPECT_EQ(spo2[1], 975 - 32767);
    EXPECT_EQ(spo2[2], -32768);
    EXPECT_NE(dir.Read("out.csv").find(",,,,,*** Connection lost,lost,"), std::string::npos)
        << dir.Read("out.csv");
}

// A capture's own records: its documentation and a "No data" gap, as the recorder
// writes them (version 2 kinds).
TEST_F(ExportSessionTest, CaptureRecordsBecomeDocumentationAndNoData) {
    ASSERT_TRUE(session.Open());
    auto event = [&](recordings::CaptureKind kind, uint64_t t, const std::string& bytes) {
        recordings::CaptureRecord r;
        r.kind = kind;
        r.time_us = t;
        r.data = reinterpret_cast<const uint8_t*>(bytes.data());
        r.size = bytes.size();
        ExportCaptureEvent(session, r);
    };
    event(recordings::CaptureKind::Documentation, 0, std::string("\x02") + "Clip 3");
    for (int n = 0; n < 150; ++n) {
        if (n == 75) event(recordings::CaptureKind::NoData, 1500000, "");
        // 1.5 s without frames before the device's next ones.
        session.SetChunkTime(n < 75 ? n * 20000 : 2500000 + (n - 75) * 20000);
        const std::vector<uint8_t> p = Record(n);
        processing::InterpretRecord(m, state, 36, p.data(), static_cast<int>(p.size()), &view);
    }
    ASSERT_TRUE(session.Finish()) << session.Error();

    const std::string csv = dir.Read("out.csv");
    EXPECT_NE(csv.find(":09.000+00:00,,,,,*** No data,no data,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(":10.000+00:00,97.5,72.3,2.50,1.5,OK,connected,"), std::string::npos) << csv;
    edf_hdr_struct hdr{};
    ASSERT_EQ(edfopen_file_readonly(options.edf_path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS),
              0);
    EXPECT_EQ(hdr.datarecords_in_file, 4);
    std::vector<std::pair<long long, std::string>> notes;
    for (long long i = 0; i < hdr.annotations_in_file; ++i) {
        edf_annotation_struct a{};
        edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
        notes.emplace_back(a.onset, a.annotation);
    }
    edfclose_file(hdr.handle);
    auto has = [&](long long onset, const std::string& text) {
        return std::find(notes.begin(), notes.end(), std::make_pair(onset, text)) != notes.end();
    };
    EXPECT_TRUE(has(0, "Sensor: Clip 3"));
    EXPECT_TRUE(has(15000000, "No data"));
    EXPECT_TRUE(has(15000000, "No samples"));
    EXPECT_TRUE(has(25000000, "Data again"));
    EXPECT_TRUE(has(20000000, "SpO2, pulse, perfusion, R-HbCO: x"));
}

// Frames lost on the line (a gap in the device's record count) leave their slots empty:
// the records after them keep their time; a stand-in repeat (the same count again)
// takes the slot of the frame it stands in for.
TEST_F(ExportSessionTest, ALostFrameIsAGapNeverAShift) {
    ASSERT_TRUE(session.Open());
    for (int n = 0; n < 100; ++n) {
        if (n == 60 || n == 61) continue;   // lost
        const int sent = n == 80 ? 79 : n;  // 80 cut, stood in for by 79
        std::vector<uint8_t> p = Record(sent);
        p[0] = static_cast<uint8_t>(sent);
        session.SetChunkTime(n * 20000);
        processing::InterpretRecord(m, state, 36, p.data(), static_cast<int>(p.size()), &view);
    }
    ASSERT_TRUE(session.Finish()) << session.Error();
    edf_hdr_struct hdr{};
    ASSERT_EQ(edfopen_file_readonly(options.edf_path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS),
              0);
    int ir[100] = {};
    ASSERT_EQ(edfread_digital_samples(hdr.handle, 0, 100, ir), 100);
    bool noted = false;
    for (long long i = 0; i < hdr.annotations_in_file; ++i) {
        edf_annotation_struct a{};
        edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
        noted = noted || (a.onset == 12000000 && std::string(a.annotation) == "No samples");
    }
    EXPECT_TRUE(noted && ir[60] == hdr.signalparam[0].dig_min && ir[61] == ir[60]);
    edfclose_file(hdr.handle);
    for (int n : {59, 62, 79, 80, 81, 99}) EXPECT_EQ(ir[n] - ir[0], n == 80 ? 79 : n) << n;
}

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A whole capture's export: what it replaces changes only when the export is whole;
// a cancelled or failed one leaves every file as it was and nothing beside them.
TEST(ExportCaptureFile, OnlyAWholeExportTakesTheName) {
    testing_support::TempDir dir;
    sim::SessionOptions o;
    o.device.protocol = 2;
    o.seconds = 20;
    std::string error;
    const std::string capture = dir.File("s.velt");
    ASSERT_TRUE(sim::WriteSimulatedSession(capture, o, &error)) << error;
    dir.Write("out.edf", "kept");
    dir.Write("out.csv", "kept");
    const std::vector<std::string> before = Files(dir.path());
    ExportOptions options;
    options.edf_path = dir.File("out.edf");
    options.csv_path = dir.File("out.csv");

    std::atomic<bool> cancel{true};
    CaptureFeedControl control;
    control.cancel = &cancel;
    EXPECT_FALSE(ExportCaptureFile(capture, options, control, &error));
    EXPECT_EQ(error, kExportCancelled);
    options.from_s = 40;  // after the end: nothing to export
    cancel = false;
    EXPECT_FALSE(ExportCaptureFile(capture, options, control, &error));
    EXPECT_NE(error.find("nothing to export"), std::string::npos) << error;
    EXPECT_EQ(Files(dir.path()), before);
    EXPECT_EQ(dir.Read("out.edf"), "kept");
    EXPECT_EQ(dir.Read("out.csv"), "kept");

    options.from_s = 5;
    options.to_s = 15;
    std::atomic<uint64_t> offset{0};
    control.offset = &offset;
    ASSERT_TRUE(ExportCaptureFile(capture, options, control, &error)) << error;
    EXPECT_EQ(Files(dir.path()), before);
    // Ten seconds: a header and ten rows.
    const std::string csv = dir.Read("out.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 11);
    edf_hdr_struct hdr{};
    ASSERT_EQ(edfopen_file_readonly(options.edf_path.c_str(), &hdr, EDFLIB_READ_ANNOTATIONS), 0);
    EXPECT_EQ(hdr.datarecords_in_file, 10);
    edfclose_file(hdr.handle);
    EXPECT_GT(offset.load(), 0u);

    // Damage in the middle shows where it was, with what was skipped.
    std::string bytes = dir.Read("s.velt");
    bytes.replace(bytes.size() / 2, 16, 16, '\x55');
    dir.Write("s.velt", bytes);
    options.from_s = 0;
    options.to_s = -1;
    std::string skipped;
    ASSERT_TRUE(ExportCaptureFile(capture, options, control, &error, &skipped)) << error;
    ASSERT_EQ(edfopen_file_readonly(options.edf_path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS),
              0);
    std::string damage = "(none)";
    for (long long i = 0; i < hdr.annotations_in_file; ++i) {
        edf_annotation_struct a{};
        edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
        if (a.onset > 50000000 && a.onset < 150000000 &&  // about the middle of 20 s
            std::string(a.annotation).rfind("session file damaged: ", 0) == 0)
            damage = std::string(a.annotation).substr(22);
    }
    edfclose_file(hdr.handle);
    EXPECT_NE(skipped.find(", " + damage), std::string::npos) << damage << " / " << skipped;
}

// What the window recorded beside the device's bytes (its alarm settings, an alarm, a
// mark), a mark added in a review (the marks file) and damage: each is an annotation of
// the EDF+ and in the CSV row of its second, and the report counts the marks and alarms.
TEST(ExportCaptureFile, AlarmsMarksAndDamageReachEveryOutput) {
    testing_support::TempDir dir;
    alarms::Event start{alarms::Event::kStart, 0, {}};
    start.alarm.kind = alarms::kSpo2Low;
    start.alarm.priority = alarms::Priority::kMedium;
    start.alarm.value = 86;
    start.alarm.limit = 90;
    alarms::Settings settings = alarms::Settings::Defaults();
    settings.limits[alarms::kPulseHigh].limit = 130;
    sim::SessionOptions o;
    o.device.protocol = 2;
    o.seconds = 20;
    o.notes = {{0.02, recordings::CaptureKind::Alarm, session_events::SettingsText(settings)},
               {5.5, recordings::CaptureKind::Alarm, session_events::AlarmText(start, false)},
               {9.5, recordings::CaptureKind::Mark, "1500\tCough"}};  // made 1.5 s before
    const std::string capture = dir.File("s.vcap");
    std::string error;
    ASSERT_TRUE(sim::WriteSimulatedSession(capture, o, &error)) << error;
    ASSERT_TRUE(session_events::SaveMarks(capture, {{12250000, "Nurse\tin"}}, &error)) << error;
    std::string bytes = dir.Read("s.vcap");
    bytes.replace(bytes.size() * 3 / 4, 16, 16, '\x55');
    dir.Write("s.vcap", bytes);

    ExportOptions options;
    options.edf_path = dir.File("out.edf");
    options.csv_path = dir.File("out.csv");
    ASSERT_TRUE(ExportCaptureFile(capture, options, {}, &error)) << error;
    const std::string csv = dir.Read("out.csv");
    auto row = [&csv](int second) {
        size_t at = csv.find('\n');
        for (int i = 0; i <= second && at != std::string::npos; ++i) at = csv.find('\n', at + 1);
        const size_t begin = csv.rfind('\n', at - 1) + 1;
        return csv.substr(begin, at - begin);
    };
    EXPECT_NE(row(0).find(",Port opened; Alarm limits: spo2-low 90 spo2-desat 85 pulse-low 50 "
                          "pulse-high 130;"),
              std::string::npos)
        << row(0);
    EXPECT_NE(row(5).find(",Alarm: ** SpO2 86 < 90\r"), std::string::npos) << row(5);
    EXPECT_NE(row(8).find(",Mark: Cough\r"), std::string::npos) << row(8);
    EXPECT_NE(row(12).find(",Mark: Nurse in\r"), std::string::npos) << row(12);
    EXPECT_NE(csv.find(",session file damaged: "), std::string::npos) << csv;

    edf_hdr_struct hdr{};
    ASSERT_EQ(edfopen_file_readonly(options.edf_path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS),
              0);
    std::vector<std::pair<long long, std::string>> notes;
    for (long long i = 0; i < hdr.annotations_in_file; ++i) {
        edf_annotation_struct a{};
        edf_get_annotation(hdr.handle, static_cast<int>(i), &a);
        notes.emplace_back(a.onset / 10000000, a.annotation);
    }
    edfclose_file(hdr.handle);
    for (auto want : {std::make_pair(5LL, std::string("Alarm: ** SpO2 86 < 90")),
                      std::make_pair(8LL, std::string("Mark: Cough")),
                      std::make_pair(12LL, std::string("Mark: Nurse in"))})
        EXPECT_NE(std::find(notes.begin(), notes.end(), want), notes.end()) << want.second;

    // The report's count, through the export session's own account.
    processing::Measurement m;
    m.SetLogging(false);
    FieldsView view;
    LinkStatistics statistics;
    ExportSession session({}, view.fields, statistics, m, 2, 0, true);
    session_events::AlarmRecord alarm;
    ASSERT_TRUE(session_events::DecodeAlarm(
        reinterpret_cast<const uint8_t*>(o.notes[1].text.data()), o.notes[1].text.size(), &alarm));
    session.OnAlarm(5500000, alarm);
    session.OnMark(8500000, "Cough");
    report::Numbers numbers;
    std::vector<report::Mark> marks;
    NoteForReport(session, &numbers, &marks);
    EXPECT_EQ(report::AlarmSummary(numbers), "spo2-low 1");
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].second, 8);
    EXPECT_EQ(numbers.marks, 1);
}

}  // namespace
