// oximeter-sim --replay as a program sees it: a synthetic capture is replayed onto
// the mapped pseudo-terminal, which the test opens and answers like the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "recordings/capture_file.h"
#include "tests/support/temp_dir.h"

namespace {

using recordings::CaptureKind;
using Clock = std::chrono::steady_clock;

constexpr int kChunks = 10;
constexpr int kChunkSize = 100;
constexpr uint32_t kOpenMs = 1000;              // the recorded program's open
constexpr uint32_t kFirstMs = 1300;             // its first byte, 300 ms after the open
constexpr uint32_t kStepMs = 200;               // between the device's chunks
constexpr double kSpanS = 0.2 * (kChunks - 1);  // first to last chunk at speed 1

uint8_t ByteAt(int chunk, int i) { return static_cast<uint8_t>(chunk * 7 + i); }

std::vector<uint8_t> Sent(int chunks) {
    std::vector<uint8_t> b;
    for (int c = 0; c < chunks; ++c)
        for (int i = 0; i < kChunkSize; ++i) b.push_back(ByteAt(c, i));
    return b;
}

std::vector<uint8_t> Answers() {
    std::vector<uint8_t> a;
    for (int c = 0; c < kChunks; ++c) a.insert(a.end(), {0xFD, static_cast<uint8_t>(c), 0xFB});
    return a;
}

// Device bytes before the open (the program never saw them), the open, chunks with
// the program's answer to each, the close.
void WriteCapture(const std::string& path) {
    recordings::CaptureWriter w;
    recordings::CaptureHeader header;
    header.protocol = 2;
    header.start_unix_us = 1700000000000;
    ASSERT_TRUE(w.Open(path, header));
    const uint8_t early[] = {0xEE, 0xEE, 0xEE};
    w.Add(CaptureKind::DeviceBytes, 400000, early, sizeof early);
    w.Add(CaptureKind::PortOpened, kOpenMs * 1000);
    std::vector<uint8_t> answers = Answers();
    for (int c = 0; c < kChunks; ++c) {
        std::vector<uint8_t> chunk = Sent(c + 1);
        uint32_t t = kFirstMs + kStepMs * static_cast<uint32_t>(c);
        w.Add(CaptureKind::DeviceBytes, t * 1000, chunk.data() + c * kChunkSize, kChunkSize);
        w.Add(CaptureKind::ProgramBytes, (t + 5) * 1000, answers.data() + 3 * c, 3);
    }
    w.Add(CaptureKind::PortClosed, (kFirstMs + kStepMs * kChunks) * 1000);
    ASSERT_TRUE(w.Close());
}

struct Played {
    int status = -1;
    std::string output;
    std::vector<uint8_t> received;
    double first_s = -1, last_s = -1;  // after the open
};

pid_t Start(const std::vector<std::string>& args, const std::string& out) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv{const_cast<char*>(OXIMETER_SIM)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(OXIMETER_SIM, argv.data());
        _exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Replays `capture` and plays the program: opens the link a while after it appears,
// reads `expect` bytes, sends `answers`, and closes the port once the replay ended.
Played Replay(const testing_support::TempDir& dir, const std::string& capture, const char* speed,
              size_t expect, const std::vector<uint8_t>& answers) {
    Played r;
    const std::string link = dir.File("com1");
    pid_t pid = Start({"--replay", capture, "--speed", speed, "--map", link}, dir.File("out"));
    auto give_up = Clock::now() + std::chrono::seconds(5);
    while (access(link.c_str(), F_OK) != 0 && Clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The replay waits for the program, however late it comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << link;
        kill(pid, SIGTERM);
        WaitExit(pid, 5);
        return r;
    }
    auto opened = Clock::now();
    give_up = opened + std::chrono::seconds(10);
    while (r.received.size() < expect && Clock::now() < give_up) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        uint8_t buf[256];
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) continue;
        double at = std::chrono::duration<double>(Clock::now() - opened).count();
        if (r.first_s < 0) r.first_s = at;
        r.last_s = at;
        r.received.insert(r.received.end(), buf, buf + got);
    }
    if (!answers.empty()) {
        EXPECT_EQ(write(fd, answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    }
    r.status = WaitExit(pid, 10);
    close(fd);
    r.output = dir.Read("out");
    return r;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

// Recorded timing: the first byte comes as long after the program's open as it did
// in the recording, the rest spread as recorded; the answers agree.
TEST(OximeterSimReplay, PlaysFromTheOpenWithTheRecordedTiming) {
    testing_support::TempDir dir;
    // The port was mapped to a device before: the replay borrows the entry.
    ASSERT_EQ(symlink(dir.File("ttyUSB0").c_str(), dir.File("com1").c_str()), 0);
    WriteCapture(dir.File("cap"));
    Played r = Replay(dir, dir.File("cap"), "1", kChunks * kChunkSize, Answers());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.received, Sent(kChunks));
    EXPECT_GE(r.first_s, 0.25);
    EXPECT_LT(r.first_s, 1.5);
    EXPECT_GE(r.last_s - r.first_s, kSpanS * 0.9);
    EXPECT_LT(r.last_s - r.first_s, kSpanS + 1.5);
    EXPECT_TRUE(Has(r.output, "program opened the port")) << r.output;
    EXPECT_TRUE(Has(r.output, "answers match (30 bytes)")) << r.output;
    char target[256] = {};
    EXPECT_GT(readlink(dir.File("com1").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), dir.File("ttyUSB0")) << "the entry was not put back";
    // The time played is the last byte's, not the quiet wait after it.
    double played = 0, recorded = 0;
    const size_t at = r.output.find("in 10 chunks in ");
    ASSERT_NE(at, std::string::npos) << r.output;
    ASSERT_EQ(std::sscanf(r.output.c_str() + at, "in 10 chunks in %lf s (recorded %lf s)", &played,
                          &recorded),
              2);
    EXPECT_LT(played, recorded + 0.9) << r.output;
}

// Sped up, the same bytes come much sooner; a wrong answer is reported where it is.
TEST(OximeterSimReplay, FasterSpeedsAndADifferingAnswer) {
    for (const char* speed : {"4", "0"}) {
        SCOPED_TRACE(speed);
        testing_support::TempDir dir;
        WriteCapture(dir.File("cap"));
        std::vector<uint8_t> answers = Answers();
        answers[4] = 0x07;
        Played r = Replay(dir, dir.File("cap"), speed, kChunks * kChunkSize, answers);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.received, Sent(kChunks));
        EXPECT_LT(r.last_s, kSpanS * 0.6);
        EXPECT_TRUE(Has(r.output, "answers differ at byte 4: recorded 01 FB FD 02")) << r.output;
        EXPECT_TRUE(Has(r.output, "live 07 FB FD 02")) << r.output;
        EXPECT_TRUE(Has(r.output, "(recorded 30 bytes, live 30 bytes)")) << r.output;
    }
}

// A capture cut inside its last chunk plays the chunks before it and says so; the
// program's missing answers show as a shorter live stream.
TEST(OximeterSimReplay, CutShortCapturePlaysItsWholeRecords) {
    testing_support::TempDir dir;
    WriteCapture(dir.File("cap"));
    std::string bytes = dir.Read("cap");
    // Drop the close, the last answer and half of the last chunk.
    bytes.resize(bytes.size() - 17 - 20 - kChunkSize / 2);
    dir.Write("cut", bytes);
    std::vector<uint8_t> answers = Answers();
    answers.resize(3 * (kChunks - 2));
    Played r = Replay(dir, dir.File("cut"), "0", (kChunks - 1) * kChunkSize, answers);

    EXPECT_EQ(r.received, Sent(kChunks - 1));
    EXPECT_TRUE(Has(r.output, "is cut short")) << r.output;
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.output,
                    "answers differ at byte 24: recorded FD 08 FB, live (nothing) "
                    "(recorded 27 bytes, live 24 bytes)"))
        << r.output;
}

// A program that closes its port mid-way ends the replay there, with how far it got.
TEST(OximeterSimReplay, EndsWhenTheProgramCloses) {
    testing_support::TempDir dir;
    WriteCapture(dir.File("cap"));
    const std::string link = dir.File("com1");
    pid_t pid = Start({"--replay", dir.File("cap"), "--map", link}, dir.File("out"));
    auto give_up = Clock::now() + std::chrono::seconds(5);
    while (access(link.c_str(), F_OK) != 0 && Clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    uint8_t buf[kChunkSize];
    EXPECT_GT(read(fd, buf, sizeof buf), 0);  // the first chunk, 300 ms after the open
    close(fd);
    EXPECT_EQ(WaitExit(pid, 5), 0);
    std::string out = dir.Read("out");
    EXPECT_TRUE(Has(out, "the program closed the port after 100 of 1000 bytes")) << out;
    EXPECT_FALSE(access(link.c_str(), F_OK) == 0) << "map link left behind";
}

TEST(OximeterSimReplay, RefusesDeviceOptionsAndUnreadableCaptures) {
    testing_support::TempDir dir;
    WriteCapture(dir.File("cap"));
    dir.Write("junk", "not a capture at all, just text");
    auto status = [&](const std::vector<std::string>& args) {
        return WaitExit(Start(args, dir.File("out")), 10);
    };
    EXPECT_EQ(status({"--replay", dir.File("cap"), "--bpm", "80"}), 2);
    EXPECT_EQ(status({"--replay", dir.File("cap"), "--output", dir.File("o")}), 2);
    EXPECT_EQ(status({"--speed", "2"}), 2);
    EXPECT_EQ(status({"--replay", dir.File("cap"), "--speed", "-1"}), 2);
    EXPECT_EQ(status({"--replay", dir.File("junk")}), 1);
    EXPECT_TRUE(Has(dir.Read("out"), "is not a readable capture")) << dir.Read("out");
    EXPECT_EQ(status({"--replay", dir.File("missing")}), 1);
    EXPECT_TRUE(Has(dir.Read("out"), "cannot read")) << dir.Read("out");
    EXPECT_EQ(status({"--replay", dir.path()}), 1);
    EXPECT_TRUE(Has(dir.Read("out"), "is a directory")) << dir.Read("out");
}

// A record whose time goes back is damage: skipped with a note, never a wait that
// wraps around into a spin; the records around it play as recorded.
TEST(OximeterSimReplay, TimeGoingBackIsDamageNotASpin) {
    testing_support::TempDir dir;
    std::vector<uint8_t> file;
    recordings::CaptureHeader h;
    h.protocol = 2;
    recordings::AppendCaptureHeader(file, h);
    std::vector<uint8_t> sent = Sent(3);
    recordings::AppendCaptureRecord(file, CaptureKind::PortOpened, 100000, nullptr, 0);
    recordings::AppendCaptureRecord(file, CaptureKind::DeviceBytes, 300000, sent.data(),
                                    kChunkSize);
    recordings::AppendCaptureRecord(file, CaptureKind::DeviceBytes, 200000,
                                    sent.data() + kChunkSize, kChunkSize);
    recordings::AppendCaptureRecord(file, CaptureKind::DeviceBytes, 400000,
                                    sent.data() + 2 * kChunkSize, kChunkSize);
    dir.Write("back.cap", std::string(file.begin(), file.end()));
    std::vector<uint8_t> expected(sent.begin(), sent.begin() + kChunkSize);
    expected.insert(expected.end(), sent.begin() + 2 * kChunkSize, sent.end());
    Played r = Replay(dir, dir.File("back.cap"), "1", expected.size(), {});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_EQ(r.received, expected);
    EXPECT_TRUE(Has(r.output, "bytes skipped (time goes back)")) << r.output;
}
