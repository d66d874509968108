// Arbitrary bytes as a recording file, replayed through the pulse-period analysis
// against a clock that jumps to every due time: the replay must end with the
// reader's status, arm the pacing timer only while it waits, stop it at the end,
// and never wait for a time that has already come.
//
// Most inputs continue an analysis primed with synthetic beats, so their first
// sample already runs a whole analysis with a full ring and a known period; inputs
// whose size is a multiple of 3 start it afresh. The file is a memory file, the
// dump file a memory log.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/memory_logs.h"
#include "recordings/edf_replay.h"
#include "recordings/synthetic_pleth.h"

namespace {

using namespace recordings;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "replay_fuzz: %s\n", what);
    std::abort();
}

// A clock near its wrap-around, so due times cross it.
constexpr uint32_t kStartTick = 0xFFFFFF00u;
uint32_t g_now = kStartTick;

struct Timer : IPacingTimer {
    void Arm() override {
        armed = true;
        ++arms;
    }
    void Stop() override { armed = false; }
    bool armed = false;
    int arms = 0;
};

struct Process {
    int fd = -1;
    std::string path;
    PulseAnalysisState primed;
};

const Process& Setup() {
    static const Process process = [] {
        Process p;
        fuzz::QuietOutputs();
        p.fd = memfd_create("replay_fuzz.edf", 0);
        if (p.fd < 0) Fail("no memory file");
        p.path = "/proc/self/fd/" + std::to_string(p.fd);
        CPulseAnalysis analysis;
        CSyntheticPleth pleth({.period = 70, .amplitude = 3000, .noise = 40, .drift = 500});
        for (int i = 0; i < kFirstAnalysis + 2 * kAnalysisInterval; ++i)
            analysis.AutoCorr(pleth.Next());
        p.primed = analysis.State();
        p.primed.lNextAnalysis = p.primed.lNData + 1;
        return p;
    }();
    return process;
}

// An analysis runs every 50 samples: beyond two of them an input only repeats what
// smaller ones reach, more slowly.
constexpr size_t kMaxInput = 1100;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Process& process = Setup();
    size = std::min(size, kMaxInput);
    if (ftruncate(process.fd, 0) != 0 ||
        (size > 0 && pwrite(process.fd, data, size, 0) != static_cast<ssize_t>(size))) {
        Fail("cannot fill the memory file");
    }

    static CPulseAnalysis* analysis = new CPulseAnalysis();
    if (size % 3 == 0) {
        analysis->MutableStateForTesting() = PulseAnalysisState{};
    } else {
        analysis->MutableStateForTesting() = process.primed;
    }
    g_now = kStartTick;
    Timer timer;
    CEdfReplay replay(process.path, *analysis, &timer, [] { return g_now; });
    int16_t status = kReplayWaiting;
    // Every pass but the last analyses at least one sample of 20 bytes.
    for (size_t pass = 0; pass <= size / 20 + 1 && status == kReplayWaiting; ++pass) {
        status = replay.Step();
        if (status != kReplayWaiting) break;
        if (!timer.armed) Fail("waiting without the timer");
        if (static_cast<int32_t>(replay.DueTick() - g_now) <= 0) Fail("waiting for a past time");
        g_now = replay.DueTick();
    }
    if (!replay.Ended()) Fail("the replay did not end");
    if (status != kReplayEnded && status != kReplayBadRecord && status != kReplayNoMemory)
        Fail("unexpected status");
    if (status != EdfStatusCode(replay.EndReason())) Fail("status and reason disagree");
    if (replay.EndOffset() > size) Fail("end offset outside the file");
    if (timer.armed) Fail("timer left running");
    if (replay.Step() != status) Fail("an ended replay changed its status");
    return 0;
}
