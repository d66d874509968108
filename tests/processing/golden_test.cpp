// Committed simulator streams of the three protocols through velt-process: the
// logs, fields, acknowledgements and debugger lines must stay as recorded (clock
// columns and fields left out).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string WithoutFirstColumn(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        out += (tab == std::string::npos ? line : line.substr(tab + 1)) + "\n";
    }
    return out;
}

std::string WithoutFields(const std::string& text, std::initializer_list<const char*> names) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        bool skip = false;
        for (const char* n : names) skip = skip || line.rfind(std::string(n) + "\t", 0) == 0;
        if (!skip) out += line + "\n";
    }
    return out;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class GoldenTest : public ::testing::TestWithParam<int> {};

TEST_P(GoldenTest, StreamGivesTheRecordedOutput) {
    const int protocol = GetParam();
    const std::string data = testing_support::TestDataDir() + "/processing";
    testing_support::TempDir out;
    std::string command = std::string(VELT_PROCESS_BIN) + " --protocol " +
                          std::to_string(protocol) + " --log-dir " + out.path() + " --debug-out " +
                          out.File("debug.txt") + " --fields " + out.File("fields.txt") +
                          " --acks " + out.File("acks.bin") + " " + data + "/stream" +
                          std::to_string(protocol) + ".bin";
    testing_support::TempDir side;
    ASSERT_EQ(std::system((command + " > " + side.File("stdout.txt")).c_str()), 0) << command;

    // Its account of the stream: every byte, and as many frames as FD answers.
    const std::string input = ReadFile(data + "/stream" + std::to_string(protocol) + ".bin");
    const std::string acks = out.Read("acks.bin");
    unsigned long long bytes = 0, frames = 0, bad = 0;
    const std::string printed = side.Read("stdout.txt");
    const size_t at = printed.find(".bin: bytes ");
    ASSERT_EQ(printed.rfind("Link statistics ", 0), 0u) << printed;
    ASSERT_NE(at, std::string::npos) << printed;
    ASSERT_EQ(std::sscanf(printed.c_str() + at, ".bin: bytes %llu, frames %llu, bad checksums %llu",
                          &bytes, &frames, &bad),
              3)
        << printed;
    EXPECT_EQ(bytes, input.size());
    if (protocol != 3) {
        unsigned long long fd = 0, fc = 0;
        for (size_t i = 0; i + 2 < acks.size(); i += 3) (acks[i] == '\xFD' ? fd : fc)++;
        EXPECT_EQ(frames, fd);
        EXPECT_EQ(bad, fc);
    } else {
        EXPECT_GT(frames, 0u);
    }

    const fs::path expected = data + "/expected" + std::to_string(protocol);
    size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(expected)) {
        const std::string name = entry.path().filename();
        const std::string want = ReadFile(entry.path());
        std::string got = out.Read(name);
        // The recorded files leave out the tick column, the clock and host fields and,
        // for the reduced protocol, the ADC text that depends on the 500 ms clock.
        if (name == "fTxtLog2.txt") got = WithoutFirstColumn(got);
        if (name == "fields.txt") got = WithoutFields(got, {"TimeText", "ComputerText"});
        if (name == "fields.txt" && protocol == 3) got = WithoutFields(got, {"Adc_IR"});
        EXPECT_EQ(got, want) << name;
        ++compared;
    }
    EXPECT_GE(compared, 3u);
    // Nothing is written that was not recorded.
    for (const auto& entry : fs::directory_iterator(out.path()))
        EXPECT_TRUE(fs::exists(expected / entry.path().filename())) << entry.path();
}

INSTANTIATE_TEST_SUITE_P(Protocols, GoldenTest, ::testing::Values(1, 2, 3));

}  // namespace
