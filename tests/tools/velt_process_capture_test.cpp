// velt-process --capture: what the recorded program received, fed as recorded, gives
// the same logs, fields, acknowledgements and account as the raw stream it received.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "recordings/capture_file.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace recordings;
using testing_support::TempDir;

struct Outcome {
    int exit_code = -1;
    std::string out, err;
};

Outcome Execute(const std::string& command, const TempDir& side) {
    const int status =
        std::system((command + " >" + side.File("stdout") + " 2>" + side.File("stderr")).c_str());
    Outcome run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = side.Read("stdout");
    run.err = side.Read("stderr");
    return run;
}

Outcome Process(const std::string& args, const TempDir& out) {
    TempDir side;
    return Execute(std::string(VELT_PROCESS_BIN) + " --log-dir " + out.path() + " --debug-out " +
                       out.File("debug.txt") + " --fields " + out.File("fields.txt") + " --acks " +
                       out.File("acks.bin") + " " + args,
                   side);
}

// The clock columns and fields differ between two runs.
std::string Comparable(const std::string& name, const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        if (name == "fTxtLog2.txt") line = line.substr(line.find('\t') + 1);
        if (name == "fields.txt" &&
            (line.rfind("TimeText\t", 0) == 0 || line.rfind("ComputerText\t", 0) == 0)) {
            continue;
        }
        out += line + "\n";
    }
    return out;
}

// The account after the input's name: "bytes N, frames N, ..." (the files written
// follow on lines of their own).
std::string Account(const std::string& printed) {
    const size_t at = printed.find(": bytes ");
    return at == std::string::npos ? "(no account) " + printed
                                   : printed.substr(at, printed.find('\n', at) - at);
}

void Add(CaptureWriter& w, CaptureKind kind, uint32_t time_ms, const std::string& bytes) {
    ASSERT_TRUE(w.Add(kind, uint64_t{time_ms} * 1000,
                      reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

TEST(VeltProcessCapture, ReceivedBytesGiveTheSameResultsAsTheRawStream) {
    TempDir work;
    TempDir side;
    const std::string raw_path = work.File("raw.bin");
    ASSERT_EQ(Execute(std::string(OXIMETER_SIM_BIN) +
                          " --protocol 2 --seconds 8 --seed 11 --bad-checksum 0.03"
                          " --drop-byte 0.01 --cut-frame 0.02 --burst --output " +
                          raw_path,
                      side)
                  .exit_code,
              0);
    const std::string raw = work.Read("raw.bin");
    ASSERT_GT(raw.size(), 2000u);

    // The tap's view: the device talking before the program opens and after it closes
    // (whole frames, which would show in the logs if they were taken as received),
    // the stream in irregular chunks, the program's answers, a gap in the device.
    const std::string capture = work.File("session.cap");
    {
        CaptureWriter w;
        CaptureHeader header;
        header.protocol = 2;
        header.start_unix_us = 1765250000000;
        ASSERT_TRUE(w.Open(capture, header));
        Add(w, CaptureKind::DeviceBytes, 0, raw.substr(0, 300));
        Add(w, CaptureKind::PortOpened, 40, "");
        uint32_t t = 41;
        size_t at = 0;
        for (size_t i = 0; at < raw.size(); ++i) {
            const size_t n = std::min(raw.size() - at, 1 + (i * 37 + i / 3) % 97);
            Add(w, CaptureKind::DeviceBytes, t += 3, raw.substr(at, n));
            at += n;
            if (i % 4 == 1) Add(w, CaptureKind::ProgramBytes, t + 1, "\xFD\x01\xFB");
            if (i == 20) {
                Add(w, CaptureKind::DeviceLost, t += 1, "read: Input/output error");
                Add(w, CaptureKind::DeviceBack, t += 700, "");
            }
            if (i % 16 == 0) {
                ASSERT_TRUE(w.Flush());
            }
        }
        Add(w, CaptureKind::PortClosed, t += 5, "");
        Add(w, CaptureKind::DeviceBytes, t += 20, raw.substr(0, 500));
        ASSERT_TRUE(w.Close()) << w.Error();
    }

    TempDir from_raw, from_capture;
    const Outcome a = Process("--protocol 2 " + raw_path, from_raw);
    const Outcome b = Process("--capture " + capture, from_capture);
    ASSERT_EQ(a.exit_code, 0) << a.err;
    ASSERT_EQ(b.exit_code, 0) << b.err;
    EXPECT_EQ(b.err, "");
    EXPECT_NE(a.out.find(": bytes " + std::to_string(raw.size()) + ","), std::string::npos)
        << a.out;
    EXPECT_EQ(Account(b.out), Account(a.out));
    size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(from_raw.path())) {
        const std::string name = entry.path().filename();
        ASSERT_TRUE(fs::exists(from_capture.File(name))) << name;
        EXPECT_EQ(Comparable(name, from_capture.Read(name)), Comparable(name, from_raw.Read(name)))
            << name;
        ++compared;
    }
    EXPECT_EQ(compared,
              static_cast<size_t>(std::distance(fs::directory_iterator(from_capture.path()),
                                                fs::directory_iterator())));
    EXPECT_GE(compared, 5u);  // logs, fields, acknowledgements, debugger output
    EXPECT_GT(fs::file_size(from_raw.File("acks.bin")), 300u);

    // One flipped bit in the length of a chunk in the middle: that chunk is skipped,
    // said where, and the exit status tells a script; the records after it still count.
    const std::string good = work.Read("session.cap");
    std::vector<uint64_t> offsets;
    {
        CaptureFileReader reader;
        ASSERT_TRUE(reader.Open(capture));
        CaptureRecord r;
        while (reader.NextRecord(&r)) offsets.push_back(r.offset);
    }
    ASSERT_GT(offsets.size(), 60u);
    const uint64_t hit = offsets[50], next = offsets[51];
    std::string flipped = good;
    flipped[hit + 12] ^= 0x01;  // the high byte of its length
    work.Write("flipped.cap", flipped);
    TempDir from_flipped;
    const Outcome f = Process("--capture " + work.File("flipped.cap"), from_flipped);
    EXPECT_EQ(f.exit_code, 3) << f.err;
    EXPECT_NE(
        f.err.find("damaged at byte " + std::to_string(hit) + ", resumed at byte " +
                   std::to_string(next) + ", " + std::to_string(next - hit) + " bytes skipped"),
        std::string::npos)
        << f.err;
    EXPECT_NE(Account(f.out), Account(a.out));
    EXPECT_GT(fs::file_size(from_flipped.File("acks.bin")) + 40,
              fs::file_size(from_raw.File("acks.bin")));

    // Cut inside its last record (the bytes after the close): all the rest as before.
    fs::resize_file(capture, fs::file_size(capture) - 1);
    TempDir from_cut;
    const Outcome c = Process("--capture " + capture, from_cut);
    EXPECT_EQ(c.exit_code, 3) << c.err;
    EXPECT_NE(c.err.find("cut at byte " + std::to_string(offsets.back())), std::string::npos)
        << c.err;
    EXPECT_EQ(Account(c.out), Account(a.out));
    EXPECT_EQ(from_cut.Read("acks.bin"), from_raw.Read("acks.bin"));
}

TEST(VeltProcessCapture, ForeignOrMissingFilesAndAnotherProtocol) {
    TempDir work, out;
    work.Write("raw.bin", std::string("\xF8\x01\x02\x03 raw device bytes", 22));
    Outcome run = Process("--capture " + work.File("raw.bin"), out);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("not a capture file"), std::string::npos) << run.err;

    run = Process("--capture " + work.File("missing.cap"), out);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("cannot read"), std::string::npos) << run.err;
    run = Process("--capture " + work.path(), out);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("is a directory"), std::string::npos) << run.err;

    std::vector<uint8_t> bytes;
    CaptureHeader p2;
    p2.protocol = 2;
    AppendCaptureHeader(bytes, p2);
    work.Write("p2.cap", std::string(bytes.begin(), bytes.end()));
    run = Process("--protocol 1 --capture " + work.File("p2.cap"), out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("recorded as protocol 2; decoding it as protocol 1"), std::string::npos)
        << run.err;

    // The files after --capture are the connection's next ones; an INPUT before it is
    // not taken with it.
    run = Process("--capture " + work.File("p2.cap") + " " + work.File("raw.bin"), out);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("raw.bin\": not a capture file"), std::string::npos) << run.err;
    run = Process(work.File("raw.bin") + " --capture " + work.File("p2.cap"), out);
    EXPECT_EQ(run.exit_code, 2);
}

// A session the program recorded (its clock record) with a loss and a return: the
// account counts the reconnect as the live link did, and names every file written.
TEST(VeltProcessCapture, ASessionsReturnCountsAsAReconnect) {
    TempDir work, out;
    const std::string session = work.File("s.vcap");
    CaptureWriter w;
    ASSERT_TRUE(w.Open(session, CaptureHeader{}));
    Add(w, CaptureKind::Clock, 0, std::string(8, '\0'));
    Add(w, CaptureKind::PortOpened, 0, "");
    Add(w, CaptureKind::DeviceLost, 100, "read: Input/output error");
    Add(w, CaptureKind::DeviceBack, 1100, "reopened COM1");
    ASSERT_TRUE(w.Close());
    const Outcome run = Process("--capture " + session, out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(Account(run.out).find("reconnects 1"), std::string::npos) << run.out;
    for (const char* name :
         {"fields.txt (fields)", "acks.bin (acknowledgements)", "debug.txt (debugger output)"})
        EXPECT_NE(run.out.find("velt-process: wrote " + out.File(name)), std::string::npos)
            << run.out;
}

}  // namespace
