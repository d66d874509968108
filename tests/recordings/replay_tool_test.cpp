#include "tools/velt-replay/replay_tool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "recordings/edf_writer.h"
#include "tests/recordings/analysis_support.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using namespace recordings_test;
using testing_support::TempDir;
using testing_support::TestDataDir;
using velt_replay::MakeSyntheticRecording;
using velt_replay::RunMakeRecording;
using velt_replay::RunVeltReplay;

std::string Data(const std::string& name) { return TestDataDir() + "/recordings/" + name; }

std::string ReadFile(const std::string& path) {
    std::string out;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? end : end - start + 1));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

// Runs the tool with its error stream captured.
struct ToolRun {
    int code = -1;
    std::string err;
};
ToolRun RunTool(const std::vector<std::string>& args,
                int (*tool)(const std::vector<std::string>&, std::FILE*) = RunVeltReplay) {
    ToolRun r;
    std::FILE* err = std::tmpfile();
    r.code = tool(args, err);
    std::rewind(err);
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, err)) > 0) r.err.append(buf, n);
    std::fclose(err);
    return r;
}

TEST(ReplayToolGolden, CommittedRecordingsAreReproducedByTheGenerator) {
    const auto a = MakeSyntheticRecording({.period = 64, .noise = 30, .drift = 150, .seed = 11u},
                                          7 * 200, true);
    const auto b = MakeSyntheticRecording(
        {.period = 35, .noise = 30, .second_beat_percent = 97, .seed = 12u}, 5 * 200, true);
    EXPECT_EQ(std::string(a.begin(), a.end()), ReadFile(Data("pleth_64.edf")));
    EXPECT_EQ(std::string(b.begin(), b.end()), ReadFile(Data("pleth_alternating_35.edf")));
}

TEST(ReplayToolGolden, TraceAndDumpFileMatchTheCommittedOnes) {
    TempDir dir;
    const ToolRun r = RunTool({"--debug-out", dir.File("trace.txt"), "--dump-dir", dir.path(),
                               Data("pleth_64.edf"), Data("pleth_alternating_35.edf")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string trace = dir.Read("trace.txt");
    const std::string dump = dir.Read("dumpfile.txt");
    EXPECT_EQ(trace, ReadFile(Data("expected_trace.txt")));
    EXPECT_EQ(dump, ReadFile(Data("expected_dumpfile.txt")));

    // What the golden trace must mean: the first recording's period throughout,
    // a traced change of rate, and the second recording's period at its end.
    const auto results = AutoCorrLines(Lines(trace));
    ASSERT_EQ(results.size(), 37u);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(results[i].kAMDFMax, 64) << results[i].lNData;
    for (int i = 20; i < 37; ++i) EXPECT_EQ(results[i].kAMDFMax, 35) << results[i].lNData;
    EXPECT_FALSE(WithPrefix(Lines(trace), "New Pulse: ").empty());
    EXPECT_EQ(WithPrefix(Lines(trace), "dCorrAll[i] ").size(), 2u * 138);
}

TEST(ReplayToolGolden, TwoRecordingsContinueTheAnalysisLikeOneLongRecording) {
    TempDir dir;
    const std::string a = ReadFile(Data("pleth_64.edf"));
    const std::string b = ReadFile(Data("pleth_alternating_35.edf"));
    dir.Write("joined.edf", a + b);
    ASSERT_EQ(RunTool({"--debug-out", dir.File("two.txt"), "--dump-dir", dir.path(),
                       Data("pleth_64.edf"), Data("pleth_alternating_35.edf")})
                  .code,
              0);
    ASSERT_EQ(RunTool({"--debug-out", dir.File("one.txt"), "--dump-dir", dir.path(),
                       dir.File("joined.edf")})
                  .code,
              0);
    auto analysis_lines = [&](const std::string& name) {
        std::vector<std::string> out;
        for (const auto& l : Lines(dir.Read(name))) {
            if (l.rfind("dCorrAll[i] ", 0) != 0) out.push_back(l);
        }
        return out;
    };
    EXPECT_EQ(analysis_lines("two.txt"), analysis_lines("one.txt"));
    // The summary after the last file covers all analyses either way.
    const auto two = Lines(dir.Read("two.txt"));
    const auto one = Lines(dir.Read("one.txt"));
    EXPECT_EQ(std::vector<std::string>(two.end() - 138, two.end()),
              std::vector<std::string>(one.end() - 138, one.end()));
}

TEST(ReplayToolErrors, UnopenableAndDamagedFilesAreReportedAndTheRestReplayed) {
    TempDir dir;
    std::vector<uint8_t> cut;
    for (int i = 0; i < 10; ++i) AppendEdfSample(cut, 0, i);
    cut.resize(cut.size() - 5);
    dir.Write("cut.edf", std::string(cut.begin(), cut.end()));
    const ToolRun r = RunTool({"--debug-out", dir.File("trace.txt"), "--dump-dir", dir.path(),
                               dir.File("missing.edf"), dir.File("cut.edf"), Data("pleth_64.edf")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("velt-replay: cannot open " + dir.File("missing.edf") +
                         ": No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("velt-replay: " + dir.File("cut.edf") +
                         ": file ends inside a record at offset 180 (record type 1)\n"),
              std::string::npos)
        << r.err;
    const auto results = AutoCorrLines(Lines(dir.Read("trace.txt")));
    EXPECT_EQ(results.size(), 17u);
    EXPECT_EQ(results.front().lNData, 600);
}

TEST(ReplayToolErrors, UsageErrors) {
    TempDir dir;
    EXPECT_EQ(RunTool({}).code, 2);
    EXPECT_EQ(RunTool({"--bogus", "a.edf"}).code, 2);
    EXPECT_EQ(RunTool({"a.edf", "--debug-out"}).code, 2);
    const ToolRun missing_dir = RunTool({"--dump-dir", dir.File("nowhere"), Data("pleth_64.edf")});
    EXPECT_EQ(missing_dir.code, 2);
    EXPECT_NE(missing_dir.err.find("does not exist"), std::string::npos);
    const ToolRun bad_out =
        RunTool({"--debug-out", dir.File("no/trace.txt"), Data("pleth_64.edf")});
    EXPECT_EQ(bad_out.code, 2);
    EXPECT_NE(bad_out.err.find("cannot create"), std::string::npos);
}

TEST(ReplayToolErrors, MakeRecordingRefusesValuesOutOfRange) {
    TempDir dir;
    const std::string out = dir.File("out.edf");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--period", "0", out},
             {"--period", "1", out},
             {"--period", "-5", out},
             {"--seconds", "0", out},
             {"--seconds", "1000000", out},
             {"--seconds", "99999999999999999999", out},
             {"--noise", "12x", out},
             {"--seed", "", out},
         }) {
        const ToolRun r = RunTool(args, RunMakeRecording);
        EXPECT_EQ(r.code, 2) << args[0] << " " << args[1];
        EXPECT_NE(r.err.find("bad value " + args[1] + " for " + args[0]), std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(RunTool({"--period", "2", "--seconds", "1", out}, RunMakeRecording).code, 0);
}

// A noise-free, exactly periodic signal matches itself perfectly at its period.
TEST(ReplayToolPeriods, CleanPeriodicRecordingsReplayToExactlyTheirPeriod) {
    for (const char* period : {"30", "50", "120"}) {
        TempDir dir;
        const std::string rec = dir.File("clean.edf");
        ASSERT_EQ(
            RunTool({"--period", period, "--noise", "0", "--seconds", "10", rec}, RunMakeRecording)
                .code,
            0);
        ASSERT_EQ(
            RunTool({"--debug-out", dir.File("trace.txt"), "--dump-dir", dir.path(), rec}).code, 0);
        const auto lines = Lines(dir.Read("trace.txt"));
        const auto results = AutoCorrLines(lines);
        ASSERT_EQ(results.size(), 29u);
        for (const auto& r : results) EXPECT_EQ(r.kAMDFMax, std::stoi(period)) << r.lNData;
        // The perfect score enters that lag's extreme as well.
        const auto summary = WithPrefix(lines, "dCorrAll[i] ");
        ASSERT_EQ(summary.size(), 138u);
        EXPECT_NE(summary[std::stoi(period) - 12].find("dCorrAllHig=inf"), std::string::npos)
            << summary[std::stoi(period) - 12];
    }
}

TEST(ReplayToolPacing, RealtimeWaitsForTheRecordedTimeUnpacedDoesNot) {
    TempDir dir;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 100; ++i) AppendEdfSample(bytes, i, i);  // 495 ms of recording
    dir.Write("short.edf", std::string(bytes.begin(), bytes.end()));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunTool({"--realtime", "--debug-out", dir.File("rt.txt"), "--dump-dir", dir.path(),
                       dir.File("short.edf")})
                  .code,
              0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(490));  // a sleep never ends early
    ASSERT_EQ(RunTool({"--debug-out", dir.File("fast.txt"), "--dump-dir", dir.path(),
                       dir.File("short.edf")})
                  .code,
              0);
    EXPECT_EQ(dir.Read("rt.txt"), dir.Read("fast.txt"));
}

}  // namespace
