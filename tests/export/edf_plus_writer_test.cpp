// The EDF+ writer, read back through EDFlib's own reader (which refuses a file that
// breaks the EDF+ rules): signals, samples, values as shown, annotations, header.
#include "export/edf_plus_writer.h"

#include <edflib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace data_export {
namespace {

using testing_support::TempDir;

struct Read {
    edf_hdr_struct hdr{};
    int handle = -1;
    explicit Read(const std::string& path) {
        if (edfopen_file_readonly(path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS) == 0)
            handle = hdr.handle;
    }
    ~Read() {
        if (handle >= 0) edfclose_file(handle);
    }
    std::vector<int> Digital(int signal) {
        std::vector<int> out(static_cast<size_t>(hdr.signalparam[signal].smp_in_file));
        edfrewind(handle, signal);
        EXPECT_EQ(edfread_digital_samples(handle, signal, static_cast<int>(out.size()), out.data()),
                  static_cast<int>(out.size()));
        return out;
    }
    std::vector<double> Physical(int signal) {
        std::vector<double> out(static_cast<size_t>(hdr.signalparam[signal].smp_in_file));
        edfrewind(handle, signal);
        EXPECT_EQ(
            edfread_physical_samples(handle, signal, static_cast<int>(out.size()), out.data()),
            static_cast<int>(out.size()));
        return out;
    }
    std::vector<std::pair<long long, std::string>> Annotations() {
        std::vector<std::pair<long long, std::string>> out;
        for (long long i = 0; i < hdr.annotations_in_file; ++i) {
            edf_annotation_struct a{};
            edf_get_annotation(handle, static_cast<int>(i), &a);
            out.emplace_back(a.onset, a.annotation);
        }
        return out;
    }
};

std::string Trim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

SecondValues Shown(const char* spo2, const char* pulse, const char* perfusion, const char* rhbco) {
    SecondValues v;
    v.spo2 = spo2;
    v.pulse = pulse;
    v.perfusion = perfusion;
    v.rhbco = rhbco;
    return v;
}

// Pleth words and ECG samples that differ in every slot and reach both ends.
WaveSecond Wave(int second) {
    WaveSecond w;
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < kPlethPerSecond; ++i)
            w.pleth[c][i] = (second * 7919 + c * 21011 + i * 1301) % 65536;
    for (int i = 0; i < kEcgPerSecond; ++i) w.ecg[i] = ((second * 900 + i) * 37) % 65536 - 32768;
    w.pleth[0][0] = 65535;
    w.pleth[1][0] = 1;
    return w;
}

EdfPlusHeader Header(bool ecg) {
    EdfPlusHeader h;
    h.ecg = ecg;
    // 2026-12-09 21:52:07.250 UTC; the test runs in UTC.
    h.start_unix_us = 1796853127250000;
    return h;
}

class EdfPlusWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    TempDir dir_;
    std::string path_ = dir_.File("out.edf");
};

TEST_F(EdfPlusWriterTest, SignalsHoldTheSamplesAndTheValuesAsShown) {
    EdfPlusWriter w;
    ASSERT_TRUE(w.Open(path_, true)) << w.Error();
    const SecondValues shown[3] = {Shown("97.0", "75.3", "2.05", "1.5"),
                                   Shown("100.0", "0.0", "655.34", "0.1"),
                                   Shown("88.8", "212.5", "0.09", "12.7")};
    for (int s = 0; s < 3; ++s) ASSERT_TRUE(w.AddSecond(shown[s], Wave(s))) << w.Error();
    ASSERT_TRUE(w.Close(Header(true))) << w.Error();

    Read r(path_);
    ASSERT_GE(r.handle, 0) << "EDFlib refused the file: " << r.hdr.filetype;
    EXPECT_EQ(r.hdr.filetype, EDFLIB_FILETYPE_EDFPLUS);
    EXPECT_EQ(r.hdr.datarecords_in_file, 3);
    EXPECT_EQ(r.hdr.datarecord_duration, EDFLIB_TIME_DIMENSION);
    ASSERT_EQ(r.hdr.edfsignals, 8);
    const char* labels[8] = {"Pleth IR", "Pleth Red", "Pleth Red2", "ECG",
                             "SpO2",     "Pulse",     "Perfusion",  "R-HbCO"};
    const char* units[8] = {"count", "count", "count", "count", "%", "bpm", "%", "%"};
    const int rates[8] = {50, 50, 50, 900, 1, 1, 1, 1};
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(Trim(r.hdr.signalparam[s].label), labels[s]);
        EXPECT_EQ(Trim(r.hdr.signalparam[s].physdimension), units[s]);
        EXPECT_EQ(r.hdr.signalparam[s].smp_in_datarecord, rates[s]);
    }
    for (int c = 0; c < 3; ++c) {
        const std::vector<double> pleth = r.Physical(c);
        for (int s = 0; s < 3; ++s)
            for (int i = 0; i < kPlethPerSecond; ++i)
                ASSERT_NEAR(pleth[s * kPlethPerSecond + i], Wave(s).pleth[c][i], 1e-6)
                    << "channel " << c << " second " << s << " slot " << i;
    }
    const std::vector<int> ecg = r.Digital(3);
    for (int s = 0; s < 3; ++s)
        for (int i = 0; i < kEcgPerSecond; ++i)
            ASSERT_EQ(ecg[s * kEcgPerSecond + i], Wave(s).ecg[i]) << s << " " << i;
    for (int v = 0; v < 4; ++v) {
        const std::vector<double> values = r.Physical(4 + v);
        for (int s = 0; s < 3; ++s) {
            const std::string text[4] = {shown[s].spo2, shown[s].pulse, shown[s].perfusion,
                                         shown[s].rhbco};
            EXPECT_NEAR(values[s], std::stod(text[v]), 1e-9) << "signal " << v << " " << s;
        }
    }
    EXPECT_TRUE(r.Annotations().empty());
    EXPECT_EQ(r.hdr.startdate_year, 2026);
    EXPECT_EQ(r.hdr.startdate_month, 12);
    EXPECT_EQ(r.hdr.startdate_day, 9);
    EXPECT_EQ(r.hdr.starttime_hour, 21);
    EXPECT_EQ(r.hdr.starttime_minute, 52);
    EXPECT_EQ(r.hdr.starttime_second, 7);
    EXPECT_EQ(r.hdr.starttime_subsecond, 2500000);  // 0.25 s in 100 ns
    // Nothing invented about the patient: the field is "X X X X" and spaces.
    EXPECT_EQ(Trim(dir_.Read("out.edf").substr(8, 80)), "X X X X");
}

TEST_F(EdfPlusWriterTest, AValueNotShownAsANumberIsTheDigitalMinimumUnderAnAnnotation) {
    EdfPlusWriter w;
    ASSERT_TRUE(w.Open(path_, false));
    WaveSecond gap;
    gap.Clear();
    const SecondValues seconds[5] = {Shown("", "", "", ""), Shown("97.0", "75.0", "2.00", "1.5"),
                                     Shown("x", "x", "x", "x"), Shown("x", "x", "x", "x"),
                                     Shown("Perfus?", "Perfus?", "0.09", "Perfus?")};
    for (const SecondValues& v : seconds) ASSERT_TRUE(w.AddSecond(v, gap));
    ASSERT_TRUE(w.Close(Header(false))) << w.Error();

    Read r(path_);
    ASSERT_GE(r.handle, 0);
    ASSERT_EQ(r.hdr.edfsignals, 7);  // no ECG signal without ECG
    const std::vector<int> spo2 = r.Digital(3);
    const std::vector<int> perfusion = r.Digital(5);
    EXPECT_EQ(spo2, (std::vector<int>{-32768, 970 - 32767, -32768, -32768, -32768}));
    EXPECT_EQ(perfusion[4], 9 - 32767);
    EXPECT_EQ(r.Digital(0), std::vector<int>(5 * kPlethPerSecond, -32768));
    EXPECT_EQ(r.hdr.signalparam[3].dig_min, -32768);

    // Onsets and durations in 100 ns.
    std::vector<std::string> expected = {"SpO2, pulse, perfusion, R-HbCO: (empty)",
                                         "SpO2, pulse, perfusion, R-HbCO: x",
                                         "SpO2, pulse, R-HbCO: Perfus?"};
    const auto annotations = r.Annotations();
    ASSERT_EQ(annotations.size(), 3u);
    const long long onsets[3] = {0, 20000000, 40000000};
    const char* durations[3] = {"1", "2", "1"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(annotations[i].first, onsets[i]);
        EXPECT_EQ(annotations[i].second, expected[i]);
        edf_annotation_struct a{};
        edf_get_annotation(r.handle, i, &a);
        EXPECT_STREQ(a.duration, durations[i]);
    }
}

TEST_F(EdfPlusWriterTest, EveryAnnotationSurvivesManyInOneSecondAndLongTexts) {
    EdfPlusWriter w;
    ASSERT_TRUE(w.Open(path_, false));
    WaveSecond wave = Wave(0);
    for (int s = 0; s < 2; ++s)
        ASSERT_TRUE(w.AddSecond(Shown("97.0", "75.0", "2.00", "1.5"), wave));
    std::vector<std::string> texts;
    for (int i = 0; i < 9; ++i) {
        texts.push_back(i % 2 ? "Finger?" : "OK");
        w.AddAnnotation(500000 + i * 20000, -1, texts.back());
    }
    // Longer than one annotation holds; "é" (two bytes) lands on the cut.
    const std::string comment =
        "Comment: patient moved at 02:10, sensor re-seated é then again at 02:40 (ward 4)";
    w.AddAnnotation(0, -1, comment);
    w.AddAnnotation(0, -1,
                    "Operator: A\nB\x14"
                    "C");
    ASSERT_TRUE(w.Close(Header(false))) << w.Error();

    Read r(path_);
    ASSERT_GE(r.handle, 0);
    const auto annotations = r.Annotations();
    std::string joined;
    std::vector<std::string> rest;
    for (const auto& [onset, text] : annotations) {
        EXPECT_LE(text.size(), 40u);
        if (onset == 0 && text.rfind("Operator", 0) != 0) {
            joined += text;
        } else if (onset == 0) {
            EXPECT_EQ(text, "Operator: A B C");
        } else {
            rest.push_back(text);
        }
    }
    EXPECT_EQ(joined, comment);
    EXPECT_EQ(rest, texts);
    EXPECT_EQ(annotations.size(), w.Annotations());
}

TEST_F(EdfPlusWriterTest, ThePatientFieldIsTheUsersOrUnknown) {
    EXPECT_EQ(CheckPatientField(""), "");
    EXPECT_EQ(CheckPatientField("MCH-0234567 F 02-MAY-1951 Haagse_Harry"), "");
    EXPECT_EQ(CheckPatientField("X X X X"), "");
    EXPECT_NE(CheckPatientField("MCH-0234567"), "");
    EXPECT_NE(CheckPatientField("A Q X X"), "");
    EXPECT_NE(CheckPatientField("A M 1951-05-02 X"), "");
    EXPECT_NE(CheckPatientField("A M 02-MAY-1951 Harry Potter"), "");

    EdfPlusWriter w;
    ASSERT_TRUE(w.Open(path_, false));
    ASSERT_TRUE(w.AddSecond(Shown("97.0", "75.0", "2.00", "1.5"), Wave(0)));
    EdfPlusHeader h = Header(false);
    h.patient = "MCH-0234567 F 02-MAY-1951 Haagse_Harry";
    h.technician = "Dr Who";
    h.equipment = "VELT oximeter SN 1234";
    ASSERT_TRUE(w.Close(h)) << w.Error();
    Read r(path_);
    ASSERT_GE(r.handle, 0);
    EXPECT_STREQ(r.hdr.patientcode, "MCH-0234567");
    EXPECT_STREQ(r.hdr.gender, "Female");
    EXPECT_STREQ(r.hdr.birthdate, "02 may 1951");
    EXPECT_STREQ(r.hdr.patient_name, "Haagse Harry");
    EXPECT_STREQ(r.hdr.technician, "Dr Who");
    EXPECT_STREQ(r.hdr.equipment, "VELT oximeter SN 1234");
}

TEST_F(EdfPlusWriterTest, FailuresAreReportedNotHidden) {
    EdfPlusWriter unwritable;
    EXPECT_FALSE(unwritable.Open(dir_.File("no/such/dir/out.edf"), false));
    EXPECT_NE(unwritable.Error().find("no/such/dir/out.edf"), std::string::npos);

    EdfPlusWriter empty;
    ASSERT_TRUE(empty.Open(path_, false));
    EXPECT_FALSE(empty.Close(Header(false)));
    EXPECT_NE(empty.Error().find("nothing to export"), std::string::npos);

    EdfPlusWriter old;
    ASSERT_TRUE(old.Open(path_, false));
    ASSERT_TRUE(old.AddSecond(Shown("97.0", "75.0", "2.00", "1.5"), Wave(0)));
    EdfPlusHeader h = Header(false);
    h.start_unix_us = 0;  // 1970: before any EDF+ start date
    EXPECT_FALSE(old.Close(h));
    EXPECT_NE(old.Error().find("1985"), std::string::npos);
}

}  // namespace
}  // namespace data_export
