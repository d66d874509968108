#include "tools/velt-replay/replay_tool.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/debug_output.h"
#include "platform/file_identity.h"
#include "recordings/edf_replay.h"
#include "recordings/edf_writer.h"
#include "recordings/pulse_analysis.h"

namespace velt_replay {
namespace {

using namespace recordings;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: velt-replay [--realtime] [--debug-out FILE] [--dump-dir DIR] FILE...\n";

// Stands in for the window timer: remembers when it was armed, and the loop below
// waits out the 5 ms before the next step.
class LoopTimer : public IPacingTimer {
public:
    void Arm() override {
        armed_ = true;
        armed_at_ = Clock::now();
    }
    void Stop() override { armed_ = false; }
    bool Armed() const { return armed_; }
    Clock::time_point Due() const { return armed_at_ + std::chrono::milliseconds(5); }

private:
    bool armed_ = false;
    Clock::time_point armed_at_{};
};

// Restores the debugger output on every way out.
class SinkToFile {
public:
    explicit SinkToFile(std::FILE* f) : file_(f) {
        platform::SetDebugSink(
            [f](std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); });
    }
    ~SinkToFile() {
        platform::SetDebugSink({});
        std::fclose(file_);
    }
    bool Close() {
        platform::SetDebugSink({});
        const bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
        return ok;
    }

private:
    std::FILE* file_;
};

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void Report(std::FILE* err, const std::string& path, const CEdfReplay& replay, int16_t status) {
    if (status == kReplayCannotOpen) {
        std::fprintf(err, "velt-replay: cannot open %s: %s\n", path.c_str(),
                     std::strerror(replay.OpenErrno()));
    } else if (status == kReplayNoFileName) {
        std::fprintf(err, "velt-replay: empty file name\n");
    } else {
        std::fprintf(err, "velt-replay: %s: %s at offset %llu (record type %u)\n", path.c_str(),
                     EdfReadStatusText(replay.EndReason()),
                     static_cast<unsigned long long>(replay.EndOffset()),
                     static_cast<unsigned>(replay.EndRecordType()));
    }
}

}  // namespace

int RunVeltReplay(const std::vector<std::string>& args, std::FILE* err) {
    bool realtime = false;
    std::string debug_out;
    std::string dump_dir;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--realtime") {
            realtime = true;
        } else if ((a == "--debug-out" || a == "--dump-dir") && i + 1 < args.size()) {
            (a == "--debug-out" ? debug_out : dump_dir) = args[++i];
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, err);
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a != "--") {
            std::fprintf(err, "velt-replay: unknown or incomplete option %s\n%s", a.c_str(),
                         kUsage);
            return 2;
        } else if (a == "--") {
            files.insert(files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        std::fputs(kUsage, err);
        return 2;
    }
    if (!dump_dir.empty() && !IsDirectory(dump_dir)) {
        std::fprintf(err, "velt-replay: dump directory %s does not exist\n", dump_dir.c_str());
        return 2;
    }
    std::unique_ptr<SinkToFile> sink;
    if (!debug_out.empty()) {
        std::FILE* f = std::fopen(debug_out.c_str(), "wb");
        if (f == nullptr) {
            std::fprintf(err, "velt-replay: cannot create %s: %s\n", debug_out.c_str(),
                         std::strerror(errno));
            return 2;
        }
        sink = std::make_unique<SinkToFile>(f);
    }

    auto analysis = std::make_unique<CPulseAnalysis>();
    analysis->SetDumpDirectory(dump_dir);
    int result = 0;
    for (const std::string& path : files) {
        LoopTimer timer;
        uint32_t virtual_now = 0;
        TickSource tick =
            realtime ? TickSource{} : TickSource([&virtual_now] { return virtual_now; });
        CEdfReplay replay(path, *analysis, &timer, tick);
        int16_t status = replay.Step();
        while (status == kReplayWaiting) {
            if (realtime) {
                std::this_thread::sleep_until(timer.Due());
            } else {
                virtual_now = replay.DueTick();  // where the timer would catch up
            }
            status = replay.Step();
        }
        if (status != kReplayEnded) {
            Report(err, path, replay, status);
            result = 1;
        }
    }
    if (sink && !sink->Close()) {
        std::fprintf(err, "velt-replay: cannot write %s\n", debug_out.c_str());
        result = 1;
    }
    return result;
}

std::vector<uint8_t> MakeSyntheticRecording(const SyntheticPlethSettings& settings, int samples,
                                            bool extras) {
    std::vector<uint8_t> out;
    CSyntheticPleth pleth(settings);
    for (int i = 0; i < samples; ++i) {
        const uint32_t time = static_cast<uint32_t>(i);
        const int32_t sample = pleth.Next();
        uint8_t spare[8];
        for (int b = 0; b < 8; ++b) spare[b] = static_cast<uint8_t>((i * 8 + b) & 0xFF);
        AppendEdfSample(out, time, sample, spare);
        if (!extras) continue;
        if (i % 50 == 49) {
            AppendEdfValues(out, time, static_cast<uint16_t>(97),
                            static_cast<uint16_t>(12000 / settings.period),
                            static_cast<uint16_t>(i / 50), 0x01, 0x00);
        }
        if (i % 500 == 499) {
            uint8_t block[20];
            for (int b = 0; b < 20; ++b) block[b] = static_cast<uint8_t>(b * 13 + i);
            AppendEdfBlock(out, time, block);
            uint8_t body[36];
            for (int b = 0; b < 36; ++b) body[b] = static_cast<uint8_t>(255 - b);
            AppendEdfVariable(out, time, body, sizeof body);
        }
    }
    return out;
}

int RunMakeRecording(const std::vector<std::string>& args, std::FILE* err) {
    SyntheticPlethSettings s;
    int seconds = 30;
    int seed = static_cast<int>(s.seed);
    bool extras = true;
    std::string out;
    const char usage[] =
        "usage: velt-make-recording [--period N] [--amplitude N] [--noise N] [--drift N]\n"
        "       [--second-beat-percent N] [--seed N] [--seconds N] [--samples-only] OUT.edf\n";
    // Each value has a range the generator can produce without dividing by zero or
    // building an outsize file in memory.
    struct Option {
        const char* name;
        int* target;
        long lo, hi;
    };
    const Option options[] = {
        {"--period", &s.period, 2, 10000},
        {"--amplitude", &s.amplitude, 0, 1000000},
        {"--noise", &s.noise, 0, 1000000},
        {"--drift", &s.drift, 0, 1000000},
        {"--second-beat-percent", &s.second_beat_percent, 0, 1000},
        {"--seconds", &seconds, 1, 3600},
        {"--seed", &seed, 0, 1000000},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const Option* option = nullptr;
        for (const Option& o : options) {
            if (a == o.name) option = &o;
        }
        if (option != nullptr) {
            if (i + 1 >= args.size()) {
                std::fprintf(err, "velt-make-recording: %s needs a value\n%s", a.c_str(), usage);
                return 2;
            }
            const char* text = args[++i].c_str();
            char* end = nullptr;
            errno = 0;
            const long v = std::strtol(text, &end, 10);
            if (end == text || *end != 0 || errno != 0 || v < option->lo || v > option->hi) {
                std::fprintf(err, "velt-make-recording: bad value %s for %s (%ld to %ld)\n", text,
                             a.c_str(), option->lo, option->hi);
                return 2;
            }
            *option->target = static_cast<int>(v);
        } else if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--samples-only") {
            extras = false;
        } else if (!a.empty() && a[0] != '-' && out.empty()) {
            out = a;
        } else {
            std::fprintf(err, "velt-make-recording: unexpected argument %s\n%s", a.c_str(), usage);
            return 2;
        }
    }
    s.seed = static_cast<uint32_t>(seed);
    if (out.empty()) {
        std::fputs(usage, err);
        return 2;
    }
    // Nothing is read, but a session being recorded is not written over either.
    if (platform::HeldByWriter(out)) {
        std::fprintf(err, "velt-make-recording: %s is a session being recorded\n", out.c_str());
        return 2;
    }
    const auto bytes = MakeSyntheticRecording(s, seconds * 200, extras);
    std::FILE* f = std::fopen(out.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(err, "velt-make-recording: cannot create %s: %s\n", out.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(err, "velt-make-recording: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

}  // namespace velt_replay
