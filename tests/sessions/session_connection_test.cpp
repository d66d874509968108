// A connection the program records across several files (a new file every second
// here) is one session: the review takes it whole from any of its files, its export is
// velt-process's over the files, continuous across the seams, and velt-process finds
// the other files and names one that is missing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "display/review_session.h"
#include "platform/tick.h"
#include "recordings/capture_connection.h"
#include "sessions/session_export.h"
#include "sessions/session_recording.h"
#include "tests/support/temp_dir.h"
#include "tools/oximeter-sim/device_model.h"

namespace {

using testing_support::TempDir;

int VeltProcess(const std::string& args, std::string* err) {
    TempDir side;
    const int status = std::system((std::string(VELT_PROCESS_BIN) + " " + args + " >" +
                                    side.File("out") + " 2>" + side.File("err"))
                                       .c_str());
    *err = side.Read("err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SessionConnection, ReviewsAndExportsAsOneAcrossItsFiles) {
    TempDir dir;
    SessionFolder folder;
    folder.Configure(dir.File("s"), 1ull << 30, true);
    SessionRecording::Settings settings;
    settings.file_seconds = 1;
    settings.keep_every_ms = 50;
    settings.recorder.write_every_ms = 20;
    SessionRecording rec(folder, settings);
    const uint64_t began = platform::MonotonicMicroseconds();
    ASSERT_TRUE(rec.Begin({"ttyUSB0", 2, "/dev/ttyUSB0", "115200 8N1"}));
    rec.Documentation(0, "night nurse");  // repeated at the start of every file
    sim::Options device;
    device.protocol = 2;
    sim::DeviceModel model(device);
    // Four seconds of a protocol-2 device, one record per 20 ms as it sends them.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * (i + 1)));
        const std::vector<uint8_t> bytes = model.NextRecordBytes();
        rec.Received(platform::MonotonicMicroseconds(), bytes.data(), bytes.size());
    }
    const uint64_t last = platform::MonotonicMicroseconds();
    rec.End();
    const uint64_t ended = platform::MonotonicMicroseconds();

    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.File("s")))
        names.push_back(e.path().string());
    std::sort(names.begin(), names.end());  // by their start: the order of their parts
    ASSERT_GE(names.size(), 3u);
    const std::string middle = names[1];

    // The review from a middle file: every file, one time line as long as the recording.
    WaveformPlot plot;
    plot.RedrawPlot();
    ReviewSession review(plot, {}, {});
    ASSERT_TRUE(review.Open(middle)) << review.Error();
    EXPECT_EQ(review.Files(), names);
    // The files follow each other as they were recorded: from the first record to the
    // close, as long as the recording took (a busy machine makes it longer than 4 s).
    EXPECT_GE(review.DurationUs() + 100000, last - began);
    EXPECT_LE(review.DurationUs(), ended - began);
    ReviewIndex index;
    ASSERT_TRUE(index.Build(review.Files(), nullptr));
    // The overview shows the device's values in every second from the first on.
    const std::vector<ReviewIndex::Second> seconds = index.SecondsFrom(0);
    ASSERT_GE(seconds.size(), 5u);
    for (size_t i = 1; i < 5; ++i) EXPECT_FALSE(std::isnan(seconds[i].spo2)) << i;

    // The review's export of the whole and velt-process's from the middle file: the same.
    ExportOptions options;
    options.edf_path = dir.File("review.edf");
    options.csv_path = dir.File("review.csv");
    std::string error;
    ASSERT_TRUE(ExportCaptureFiles(review.Files(), options, {}, &error)) << error;
    EXPECT_EQ(VeltProcess("--capture " + middle + " --edf " + dir.File("process.edf") + " --csv " +
                              dir.File("process.csv"),
                          &error),
              0)
        << error;
    EXPECT_NE(error.find(std::to_string(names.size()) + " files of its connection"),
              std::string::npos)
        << error;
    EXPECT_EQ(dir.Read("review.edf"), dir.Read("process.edf"));
    EXPECT_EQ(dir.Read("review.csv"), dir.Read("process.csv"));
    const std::string edf = dir.Read("review.edf");
    EXPECT_EQ(edf.find("Operator: night nurse"), edf.rfind("Operator: night nurse"));
    EXPECT_NE(edf.find("Operator: night nurse"), std::string::npos);
    // The seams in place: every second after the first shows the device's values,
    // connected; none is missing or doubled.
    std::istringstream csv(dir.Read("review.csv"));
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(csv, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 2 + review.DurationUs() / 1000000);  // the heading, seconds from 0
    for (size_t i = 2; i < 6; ++i) {
        EXPECT_EQ(rows[i].find(",,"), std::string::npos) << rows[i];
        EXPECT_NE(rows[i].find(",connected"), std::string::npos) << rows[i];
    }

    // A part missing: named, with exit status 3, and annotated where the next file begins.
    ASSERT_EQ(::unlink(middle.c_str()), 0);
    EXPECT_EQ(VeltProcess("--capture " + names[0] + " --edf " + dir.File("holed.edf"), &error), 3);
    EXPECT_NE(error.find("part 2 is missing"), std::string::npos) << error;
    EXPECT_NE(dir.Read("holed.edf").find("session files missing: part 2"), std::string::npos);
}

}  // namespace
