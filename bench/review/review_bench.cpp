// The review of a recorded protocol-2 session: opening (the first picture of the
// window), building the overview of an hour and of a day, seeking, and playing "as
// fast as possible" headless and in the window (offscreen platform, the view's
// repaints paced at 60 a second). Sessions are made once by the simulator's device
// model under $TMPDIR (velt-review-<hours>h.vcap). The day's cases run only with
// VELT_BENCH_DAY=1 (a 24-hour file is about 450 MB).
//   QT_QPA_PLATFORM=offscreen review_bench --benchmark_min_time=0.01
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "display/monitoring_view.h"
#include "display/review_frame.h"
#include "display/review_session.h"
#include "tools/oximeter-sim/sim_session.h"

namespace {

std::string SessionFile(int hours) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/velt-review-" +
                             std::to_string(hours) + "h.vcap";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    sim::SessionOptions o;
    o.device.protocol = 2;
    o.seconds = hours * 3600.0;
    // A loss and a silence per hour, as a night has them.
    for (int h = 0; h < hours; ++h) {
        o.gaps.push_back({h * 3600.0 + 1200, 20, true});
        o.gaps.push_back({h * 3600.0 + 2400, 15, false});
    }
    std::string error;
    if (!sim::WriteSimulatedSession(path, o, &error)) std::abort();
    return path;
}

bool DayWanted() {
    const char* day = std::getenv("VELT_BENCH_DAY");
    return day != nullptr && std::string(day) == "1";
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "review_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Opening to the first picture: the window made, the session opened, the view drawn.
void BM_OpenToFirstPicture(benchmark::State& state) {
    App();
    const std::string path = SessionFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CReviewFrame frame;
        if (!frame.Open(QString::fromStdString(path))) state.SkipWithError("cannot open");
        frame.resize(frame.RestoredRect().size());
        const QImage picture = frame.grab().toImage();
        benchmark::DoNotOptimize(picture.constBits());
    }
}
BENCHMARK(BM_OpenToFirstPicture)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Overview(benchmark::State& state) {
    const int hours = static_cast<int>(state.range(0));
    if (hours > 1 && !DayWanted()) {
        state.SkipWithError("VELT_BENCH_DAY=1 for the day");
        return;
    }
    const std::string path = SessionFile(hours);
    size_t bytes = 0, checkpoints = 0;
    for (auto _ : state) {
        ReviewIndex index;
        if (!index.Build(path, nullptr)) state.SkipWithError("cannot build");
        bytes = index.CheckpointBytes();
        checkpoints = index.CheckpointCount();
    }
    state.counters["checkpoints"] = static_cast<double>(checkpoints);
    state.counters["checkpoint_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_Overview)->Arg(1)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();

// Seeks to random places once the overview is built.
void BM_Seek(benchmark::State& state) {
    const int hours = static_cast<int>(state.range(0));
    if (hours > 1 && !DayWanted()) {
        state.SkipWithError("VELT_BENCH_DAY=1 for the day");
        return;
    }
    const std::string path = SessionFile(hours);
    auto index = std::make_shared<ReviewIndex>();
    index->Build(path, nullptr);
    WaveformPlot plot;
    plot.RedrawPlot();
    std::string fields[ViewFieldCount];
    ReviewSession session(plot, [&](int f, const char* t) { fields[f] = t; }, {});
    session.Open(path);
    session.SetIndex(index);
    std::mt19937_64 random(7);
    double longest = 0;
    for (auto _ : state) {
        const uint64_t t = random() % session.DurationUs();
        const auto start = std::chrono::steady_clock::now();
        session.SeekTo(t);
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (s > longest) longest = s;
    }
    state.counters["longest_ms"] = longest * 1000;
}
BENCHMARK(BM_Seek)->Arg(1)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();

// Headless: the player, interpretation and plot without a window.
void BM_PlayFastestHeadless(benchmark::State& state) {
    const std::string path = SessionFile(1);
    double factor = 0;
    for (auto _ : state) {
        WaveformPlot plot;
        plot.RedrawPlot();
        std::string fields[ViewFieldCount];
        ReviewSession session(plot, [&](int f, const char* t) { fields[f] = t; }, {});
        session.Open(path);
        const auto start = std::chrono::steady_clock::now();
        for (uint64_t t = 0; session.AdvanceTo(t); t += 20000) {
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        factor = static_cast<double>(session.DurationUs()) / 1e6 / s;
    }
    state.counters["x_real_time"] = factor;
}
BENCHMARK(BM_PlayFastestHeadless)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// In the window, shown: ten minutes of the session "as fast as possible".
void BM_PlayFastestWindow(benchmark::State& state) {
    App();
    const std::string path = SessionFile(1);
    double factor = 0;
    for (auto _ : state) {
        CReviewFrame frame;
        frame.Open(QString::fromStdString(path));
        frame.resize(frame.RestoredRect().size());
        frame.show();
        QApplication::processEvents();
        frame.SetSpeed(0);
        QElapsedTimer clock;
        clock.start();
        frame.Play();
        while (frame.Playing() && frame.PositionUs() < 600000000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        factor = static_cast<double>(frame.PositionUs()) / 1000.0 /
                 static_cast<double>(std::max<qint64>(1, clock.elapsed()));
        frame.Pause();
    }
    state.counters["x_real_time"] = factor;
}
BENCHMARK(BM_PlayFastestWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
