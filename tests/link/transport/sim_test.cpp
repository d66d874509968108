// The simulated device: its wire encoding, pacing and answer counting, the signals it
// makes, and the program itself (into a file and on a pseudo-terminal).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "link/checksum.h"
#include "link/transport/serial_transport.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"
#include "tools/oximeter-sim/device_model.h"
#include "tools/oximeter-sim/wire_encoder.h"

namespace {

struct Frame {
    uint8_t seq, type, length;
    std::vector<uint8_t> payload;
    bool checksum_ok;
};

// A minimal device-stream parser, independent of the link's decoder.
std::vector<Frame> Parse(const std::vector<uint8_t>& s, size_t* broken = nullptr) {
    std::vector<Frame> out;
    size_t i = 0;
    if (broken) *broken = 0;
    while (i < s.size()) {
        if (s[i] != 0xFF) {
            ++i;
            continue;
        }
        ++i;
        std::vector<uint8_t> body;
        bool esc = false;
        while (i < s.size() && s[i] != 0xFB && s[i] != 0xFF) {
            if (s[i] == 0xFE) {
                esc = true;
            } else {
                body.push_back(esc ? static_cast<uint8_t>(s[i] | 0x80) : s[i]);
                esc = false;
            }
            ++i;
        }
        if (body.size() < 4 || body.size() != static_cast<size_t>(body[2]) + 4u) {
            if (broken) ++*broken;
            continue;
        }
        Frame f{body[0], body[1], body[2], {}, false};
        f.payload.assign(body.begin() + 3, body.end() - 1);
        f.checksum_ok =
            FrameChecksum(FrameSum(f.seq, f.type, f.length, f.payload.data())) == body.back();
        out.push_back(f);
    }
    return out;
}

std::vector<uint8_t> Stream(sim::Options o, int records) {
    sim::DeviceModel m(o);
    std::vector<uint8_t> all;
    for (int r = 0; r < records; ++r) {
        auto b = m.NextRecordBytes();
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

int U16(const std::vector<uint8_t>& p, size_t at) { return p[at] | (p[at + 1] << 8); }
int S16(const std::vector<uint8_t>& p, size_t at) {
    return static_cast<int16_t>(static_cast<uint16_t>(U16(p, at)));
}

}  // namespace

TEST(SimWire, FramesEscapeTheControlValues) {
    EXPECT_EQ(sim::EncodeFrame(5, 36, {0x10, 0x20, 0x30}),
              (std::vector<uint8_t>{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB}));
    auto f = sim::EncodeFrame(0x85, 0xA4, {0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0xFA});
    EXPECT_EQ(f[1], 0x05) << "sequence and type are 7-bit";
    EXPECT_EQ(f[2], 0x24);
    EXPECT_EQ(
        std::vector<uint8_t>(f.begin() + 4, f.end() - 2),
        (std::vector<uint8_t>{0xFE, 0x7B, 0xFE, 0x7C, 0xFE, 0x7D, 0xFE, 0x7E, 0xFE, 0x7F, 0xFA}));
    auto parsed = Parse(f);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_TRUE(parsed[0].checksum_ok);
    EXPECT_EQ(parsed[0].payload, (std::vector<uint8_t>{0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0xFA}));
}

TEST(SimWire, LineRatesAndPacing) {
    EXPECT_DOUBLE_EQ(sim::LineBytesPerSecond(1), 57600.0 / 11);
    EXPECT_DOUBLE_EQ(sim::LineBytesPerSecond(2), 115200.0 / 10);
    EXPECT_DOUBLE_EQ(sim::LineBytesPerSecond(3), 9600.0 / 11);
    // A full queue drains at the line rate however the caller's clock ticks.
    for (double tick : {0.0001, 0.001, 0.0137}) {
        sim::LinePacer pacer(1000);
        size_t sent = 0;
        for (double t = 10; t < 11 - 1e-9; t += tick) {
            size_t n = pacer.Take(t, 100000);
            sent += n;
            EXPECT_LE(static_cast<double>(sent), (t - 10) * 1000 + 1.001) << tick;
        }
        EXPECT_NEAR(static_cast<double>(sent), 1000, 15) << tick;
    }
    // An idle line saves up no credit: after a quiet second one byte goes at once.
    sim::LinePacer pacer(1000);
    EXPECT_EQ(pacer.Take(0, 5), 1u);
    EXPECT_EQ(pacer.Take(0, 4), 0u);
    EXPECT_NEAR(pacer.NextDue(0, 4), 0.001, 1e-9);
    EXPECT_EQ(pacer.Take(0.0035, 4), 3u);
    EXPECT_EQ(pacer.Take(0.004, 0), 0u);
    EXPECT_EQ(pacer.Take(1.0, 100), 1u);
    EXPECT_EQ(pacer.Take(1.002, 100), 2u);
}

TEST(SimWire, AnswersAreCountedAcrossPieces) {
    sim::AnswerCounter c;
    const uint8_t s[] = {0xFD, 0x05, 0xFB, 0xFC, 0x06, 0xFB, 0x00, 0xFD, 0x07};
    c.Feed(s, 8);
    c.Feed(s + 8, 1);
    const uint8_t rest[] = {0xFB, 0xFD, 0x99, 0xFB, 0xFD, 0x01, 0x02, 0xFB};
    c.Feed(rest, sizeof rest);  // the two broken answers do not count
    EXPECT_EQ(c.acks(), 2);
    EXPECT_EQ(c.rejections(), 1);
}

TEST(SimStream, ValidFramesOfTheProtocolsLengths) {
    for (int protocol : {1, 2}) {
        sim::Options o;
        o.protocol = protocol;
        o.noise = 1;
        auto frames = Parse(Stream(o, 500));
        ASSERT_EQ(frames.size(), 500u);
        int type19 = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_TRUE(frames[i].checksum_ok);
            EXPECT_EQ(frames[i].seq, i % 128);
            EXPECT_EQ(frames[i].length, protocol == 2 ? 86 : 50);
            if (frames[i].type == 19)
                ++type19;
            else
                EXPECT_EQ(frames[i].type, 36);
        }
        EXPECT_EQ(type19, 10);
        const auto& p = frames[0].payload;
        size_t e = protocol == 2 ? 36 : 0;
        EXPECT_EQ(p[e + 34], 0) << "status OK";
        EXPECT_EQ(U16(p, e + 38), 200) << "perfusion 2.0 %";
        EXPECT_EQ(U16(p, e + 40), 750);
        EXPECT_EQ(U16(p, e + 46), 970);
        EXPECT_EQ(U16(p, e + 48), 15);
        // Shown temperature about 33 degC, third LED present (measured = set current).
        double temp = (S16(p, 26) * 2.5 / 4095 - 0.986) * 281.6901408450704;
        EXPECT_NEAR(temp, 33, 0.5);
        double set = (255 - p[30]) * 0.08167613636363637;
        double measured = S16(p, 18) * 0.013871626420454546;
        EXPECT_LT(measured, 1.1 * set);
        EXPECT_LT(set, 1.1 * measured);
    }
}

TEST(SimStream, DeterministicForASeedAndFaultsBreakFrames) {
    sim::Options o;
    o.noise = 0.5;
    o.seed = 7;
    EXPECT_EQ(Stream(o, 200), Stream(o, 200));
    sim::Options other = o;
    other.seed = 8;
    EXPECT_NE(Stream(o, 200), Stream(other, 200));
    o.bad_checksum = 0.5;
    auto frames = Parse(Stream(o, 200));
    int bad = 0;
    for (const auto& f : frames) bad += !f.checksum_ok;
    EXPECT_GT(bad, 60);
    EXPECT_LT(bad, 140);
    sim::Options cut;
    cut.cut_frame = 0.2;
    size_t broken = 0;
    frames = Parse(Stream(cut, 500), &broken);
    EXPECT_GT(broken, 60u);
    EXPECT_LT(broken, 140u);
    EXPECT_EQ(frames.size() + broken, 500u);
    sim::Options burst;
    burst.burst = true;
    frames = Parse(Stream(burst, 1000), &broken);
    int good = 0;
    for (const auto& f : frames) good += f.checksum_ok;
    EXPECT_GE(good, 990) << "four bursts in 20 s spoil a frame or two each";
    EXPECT_LT(good, 1000);
}

TEST(SimStream, ReducedProtocolSendsRecordCodesWithDataBytes) {
    sim::Options o;
    o.protocol = 3;
    auto s = Stream(o, 200);  // 4 s: five beats at 75 bpm
    int samples = 0, spo2 = 0, pulse = 0, status = 0, perfusion = 0;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        switch (s[i]) {
            case 0xF8:
                ++samples;
                break;
            case 0xF9:
                ++spo2;
                EXPECT_EQ(s[i + 1], 97);
                break;
            case 0xFA:
                ++pulse;
                EXPECT_EQ(s[i + 1], 75);
                break;
            case 0xFB:
                ++status;
                EXPECT_EQ(s[i + 1], 0);
                break;
            case 0xFC:
                ++perfusion;
                break;
        }
        if (s[i] >= 0xF8 && s[i] <= 0xFC) {
            EXPECT_LT(s[i + 1], 0xF8) << "a code carries data";
        }
    }
    EXPECT_EQ(samples, 200);
    EXPECT_GE(spo2, 4);
    EXPECT_LE(spo2, 6);
    EXPECT_EQ(pulse, spo2);
    EXPECT_EQ(status, spo2);
    EXPECT_EQ(perfusion, spo2);
    // It fits the 9600 bit/s line (8N2) with room to spare.
    EXPECT_LT(static_cast<double>(s.size()) / 4, 0.5 * sim::LineBytesPerSecond(3));
}

namespace {

// The summed relative fall of IR and Red across a 17-record window centre, at every
// record, with peaks kept where it rises three records and falls three.
std::vector<double> SlopePeaks(const std::vector<Frame>& frames, double* lower, double* upper) {
    std::vector<double> u, peaks;
    std::vector<double> ir, red;
    for (const Frame& f : frames) {
        size_t e = f.length == 86 ? 36 : 0;
        if (f.type == 36) {
            *lower = U16(f.payload, e + 38) * 0.00005;
            *upper = U16(f.payload, e + 38) * 0.0002;
        }
        ir.push_back(32760 - U16(f.payload, 2));
        red.push_back(32760 - U16(f.payload, 8));
        if (ir.size() < 17) continue;
        size_t n = ir.size() - 17;
        auto slope = [&](const std::vector<double>& w) {
            double l = w[n + 4] + w[n + 5], r = w[n + 9] + w[n + 10];
            return std::max(0.0, (l - r) / (l + r));
        };
        u.push_back(slope(ir) + slope(red));
        size_t k = u.size();
        if (k >= 7 && u[k - 7] < u[k - 6] && u[k - 6] < u[k - 5] && u[k - 5] < u[k - 4] &&
            u[k - 4] > u[k - 3] && u[k - 3] > u[k - 2] && u[k - 2] > u[k - 1])
            peaks.push_back(u[k - 4]);
    }
    return peaks;
}

}  // namespace

TEST(SimSignals, OnePulsePerBeatInsideTheReportedPerfusionsWindow) {
    for (double noise : {0.1, 0.5}) {
        for (double perfusion : {0.5, 2.0, 8.0}) {
            for (double bpm : {45.0, 75.0, 150.0}) {
                if (noise > 0.1 && perfusion < 1) continue;  // a weak pulse drowns in noise
                sim::Options o;
                o.perfusion = perfusion;
                o.bpm = bpm;
                o.noise = noise;
                double lower = 0, upper = 0;
                auto peaks = SlopePeaks(Parse(Stream(o, 1500)), &lower, &upper);  // 30 s
                ASSERT_GT(lower, 0);
                // Noise may make small peaks; those the host would weigh are the pulses.
                size_t pulses = 0;
                for (double p : peaks) {
                    if (p < lower / 2) continue;
                    ++pulses;
                    EXPECT_GT(p, lower) << perfusion << " " << bpm << " " << noise;
                    EXPECT_LT(p, upper) << perfusion << " " << bpm << " " << noise;
                }
                EXPECT_NEAR(static_cast<double>(pulses), bpm / 2, 1.5)
                    << perfusion << " " << bpm << " " << noise;
            }
        }
    }
}

TEST(SimSignals, ScenariosShapeTheSignals) {
    for (const char* name : {"finger", "sensor", "perfusion", "selftest"}) {
        sim::Options o;
        o.status = sim::StatusCode(name);
        ASSERT_GE(o.status, 0) << name;
        auto frames = Parse(Stream(o, 500));
        ASSERT_EQ(frames.size(), 500u);
        EXPECT_EQ(frames[1].payload[34], o.status) << name;
        double lower = 0, upper = 0;
        auto peaks = SlopePeaks(frames, &lower, &upper);
        size_t accepted = 0;
        for (double p : peaks) accepted += p > lower && p < upper;
        if (o.status == 69) {
            EXPECT_GT(accepted, 8u) << "a self-test still measures";
        } else if (o.status == 3) {
            EXPECT_LT(U16(frames[1].payload, 38), 10) << "perfusion too low to show values";
            for (double p : peaks) EXPECT_LT(p, 0.002) << "hardly a pulse";
        } else {
            EXPECT_EQ(accepted, 0u) << name;
        }
        if (o.status == 1) {
            EXPECT_EQ(U16(frames[1].payload, 2), 32760) << "no light";
        }
    }
    EXPECT_EQ(sim::StatusCode("ok"), 0);
    EXPECT_EQ(sim::StatusCode("OK"), -1);
}

TEST(SimSignals, EcgBeatsComeThePulseTransitTimeAheadOfThePulse) {
    for (double ptt : {120.0, 200.0, 300.0}) {
        sim::Options o;
        o.protocol = 2;
        o.ptt_ms = ptt;
        o.noise = 0.1;
        auto frames = Parse(Stream(o, 1000));
        ASSERT_EQ(frames.size(), 1000u);
        std::vector<int> ecg;
        std::vector<double> ir;
        for (const Frame& f : frames) {
            for (int i = 0; i < 18; ++i) ecg.push_back(S16(f.payload, 34 + 2 * i));
            ir.push_back(32760 - U16(f.payload, 2));
        }
        // Beats: runs of at least four samples well below the level, after a quiet spell.
        double mean = 0;
        for (int v : ecg) mean += v;
        mean /= static_cast<double>(ecg.size());
        std::vector<double> beats_ms;
        size_t last_low = 0;
        for (size_t n = 0; n + 3 < ecg.size(); ++n) {
            bool low = true;
            for (size_t k = n; k < n + 4; ++k) low = low && ecg[k] < mean - 300;
            if (!low) continue;
            if (beats_ms.empty() || n > last_low + 20) beats_ms.push_back(n * 1000.0 / 900);
            last_low = n;
        }
        EXPECT_NEAR(static_cast<double>(beats_ms.size()), 25, 1) << ptt;  // 20 s at 75 bpm
        // The steepest fall of the IR level follows each beat by the transit time.
        int paired = 0;
        for (double beat : beats_ms) {
            size_t from = static_cast<size_t>(beat / 20) + 1;
            size_t to = std::min(ir.size(), from + 30);
            if (to < from + 30) break;
            size_t steepest = from;
            for (size_t k = from; k < to; ++k)
                if (ir[k - 1] - ir[k] > ir[steepest - 1] - ir[steepest]) steepest = k;
            double fall_ms = (static_cast<double>(steepest) - 0.5) * 20;
            EXPECT_NEAR(fall_ms - beat, ptt, 25) << ptt;
            ++paired;
        }
        EXPECT_GE(paired, 20);
    }
}

// ---- The program itself ----

namespace {

struct SimRun {
    int status = -1;
    std::string out;
};

SimRun RunSim(const std::vector<std::string>& args) {
    std::string cmd = OXIMETER_SIM;
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " 2>&1";
    SimRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) r.out += buf;
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(SimProgram, WritesTheDeviceStreamIntoAFile) {
    testing_support::TempDir dir;
    for (int protocol : {1, 2}) {
        std::string a = dir.File("a.bin"), b = dir.File("b.bin");
        SimRun r = RunSim({"--protocol", std::to_string(protocol), "--seconds", "3", "--seed", "42",
                           "--noise", "0.4", "--output", a});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("150 records (150 frames)"), std::string::npos) << r.out;
        auto frames = Parse(FileBytes(a));
        ASSERT_EQ(frames.size(), 150u) << "50 frames a second of device time";
        for (const Frame& f : frames) {
            EXPECT_TRUE(f.checksum_ok);
            EXPECT_EQ(f.length, protocol == 2 ? 86 : 50);
        }
        ASSERT_EQ(RunSim({"--protocol", std::to_string(protocol), "--seconds", "3", "--seed", "42",
                          "--noise", "0.4", "--output", b})
                      .status,
                  0);
        EXPECT_EQ(FileBytes(a), FileBytes(b)) << "same seed, same stream";
        ASSERT_EQ(RunSim({"--protocol", std::to_string(protocol), "--seconds", "3", "--seed", "43",
                          "--noise", "0.4", "--output", b})
                      .status,
                  0);
        EXPECT_NE(FileBytes(a), FileBytes(b));
    }
    std::string r3 = dir.File("r.bin");
    ASSERT_EQ(RunSim({"--protocol", "3", "--seconds", "2", "--output", r3}).status, 0);
    auto s = FileBytes(r3);
    for (uint8_t code : {0xF8, 0xF9, 0xFA, 0xFB, 0xFC})
        EXPECT_NE(std::find(s.begin(), s.end(), code), s.end()) << int(code);
    EXPECT_EQ(std::count(s.begin(), s.end(), 0xF8), 100);
}

TEST(SimProgram, RefusesBadOptions) {
    testing_support::TempDir dir;
    for (std::vector<std::string> bad : {std::vector<std::string>{"--protocol", "4"},
                                         {"--bpm", "5"},
                                         {"--bpm"},
                                         {"--seed", "-1"},
                                         {"--noise", "2"},
                                         {"--status", "dead"},
                                         {"--spo2", "97x"},
                                         {"--frobnicate"},
                                         {"--map", "m", "--output", "o"}}) {
        SimRun r = RunSim(bad);
        EXPECT_EQ(r.status, 2) << bad[0];
        EXPECT_NE(r.out.find("oximeter-sim: "), std::string::npos) << r.out;
    }
    EXPECT_EQ(RunSim({"--output", "/nonexistent-dir/x.bin"}).status, 1);
    SimRun help = RunSim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--ptt-ms"), std::string::npos);
}

namespace {

// The simulator on a pseudo-terminal mapped as COM1 of a private program directory.
class SimOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetProgramDirectoryForTesting(dir_.path());
        mkdir(dir_.File("configuration").c_str(), 0777);
        mkdir(dir_.File("configuration/dosdevices").c_str(), 0777);
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        platform::SetProgramDirectoryForTesting("");
    }
    void Start(std::vector<std::string> args) {
        map_ = dir_.File("configuration/dosdevices/com1");
        args.insert(args.begin(), {OXIMETER_SIM, "--map", map_});
        std::string out = dir_.File("sim.out");
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            struct stat st {};
            if (lstat(map_.c_str(), &st) == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "no device-map entry";
    }
    // Receives for about `seconds`, answering every good frame with FD.
    std::vector<Frame> Session(int protocol, double seconds, int* answered) {
        std::unique_ptr<transport::SerialTransport> port;
        auto r = transport::SerialTransport::Open("COM1", protocol, &port);
        EXPECT_EQ(r.step, transport::OpenStep::Ok) << r.error;
        if (!port) return {};
        std::vector<uint8_t> stream;
        size_t parsed = 0;
        std::vector<Frame> frames;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (port->WaitForData(100) != transport::WaitResult::Data) continue;
            uint8_t buf[256];
            size_t n = 0;
            EXPECT_EQ(port->Read(buf, sizeof buf, &n), 0);
            stream.insert(stream.end(), buf, buf + n);
            // Whole frames so far (up to the last end byte) get their answers.
            size_t last_end = stream.size();
            while (last_end > parsed && stream[last_end - 1] != 0xFB) --last_end;
            if (last_end <= parsed) continue;
            auto fresh =
                Parse(std::vector<uint8_t>(stream.begin() + parsed, stream.begin() + last_end));
            parsed = last_end;
            for (const Frame& f : fresh) {
                const uint8_t ack[] = {0xFD, f.seq, 0xFB};
                EXPECT_EQ(port->Write(ack, 3), 0);
                ++*answered;
                frames.push_back(f);
            }
        }
        // Give the device time to read the last answers before the port closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return frames;
    }
    std::string Output() { return dir_.Read("sim.out"); }

    testing_support::TempDir dir_;
    std::string map_;
    pid_t pid_ = -1;
};

}  // namespace

TEST_F(SimOnPty, FramesAtTheRecordRateAnsweredAcrossAReconnect) {
    Start({"--protocol", "2"});
    int answered = 0;
    auto first = Session(2, 1.0, &answered);
    // About 50 frames a second; the machine is shared, so only the order of magnitude.
    EXPECT_GT(first.size(), 25u);
    EXPECT_LT(first.size(), 80u);
    for (const Frame& f : first) {
        EXPECT_TRUE(f.checksum_ok);
        EXPECT_EQ(f.length, 86);
    }
    int first_answers = answered;
    // The host closes and opens again ("Connect again"): the device is still there.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto second = Session(2, 0.6, &answered);
    EXPECT_GT(second.size(), 10u);
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string out = Output();
    EXPECT_NE(out.find("host answered FD " + std::to_string(first_answers) + ", FC 0"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("host opened the port"), std::string::npos) << out;
    EXPECT_NE(out.find("end: sent "), std::string::npos) << out;
    EXPECT_NE(out.find("host answered FD " + std::to_string(answered) + ", FC 0\n"),
              std::string::npos)
        << out;
    // One machine-readable line per connection.
    EXPECT_NE(out.find("connection 1: frames "), std::string::npos) << out;
    EXPECT_NE(out.find(", FD " + std::to_string(first_answers) + ", FC 0\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("connection 2: frames "), std::string::npos) << out;
    EXPECT_NE(out.find(", FD " + std::to_string(answered - first_answers) + ", FC 0\n"),
              std::string::npos)
        << out;
    struct stat st {};
    EXPECT_NE(lstat(map_.c_str(), &st), 0) << "the map entry is removed on exit";
}

TEST_F(SimOnPty, OnceEndsWhenTheHostCloses) {
    Start({"--protocol", "1", "--once", "--bad-checksum", "0.5"});
    std::unique_ptr<transport::SerialTransport> port;
    ASSERT_EQ(transport::SerialTransport::Open("COM1", 1, &port).step, transport::OpenStep::Ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    port.reset();
    int status = 0;
    for (int i = 0; i < 300 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(WIFEXITED(status)) << Output();
    pid_ = -1;
    EXPECT_NE(Output().find("host closed the port"), std::string::npos) << Output();
}
