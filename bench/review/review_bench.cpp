// The review of a recorded protocol-2 session: opening (the first picture of the
// window), building the overview of an hour and of a day, seeking, and playing "as
// fast as possible" headless and in the window (offscreen platform, the view's
// repaints paced at 60 a second). Sessions are made once by the simulator's device
// model under $TMPDIR (velt-review-<hours>h.vcap). The day's cases run only with
// VELT_BENCH_DAY=1 (a 24-hour file is about 450 MB).
// A night as the program records it: a 12-hour connection in twelve hourly files
// (oximeter-sim --session, under $TMPDIR/velt-review-night/, about 250 MB): its
// overview, seeks anywhere in it (mean, and the longest), and its whole EDF+ and CSV
// export.
//   QT_QPA_PLATFORM=offscreen review_bench --benchmark_min_time=0.01
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "recordings/capture_connection.h"
#include "sessions/session_export.h"
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

// The night's files (made once), in order.
std::vector<std::string> NightFiles() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/velt-review-night";
    std::vector<std::string> files;
    std::string error;
    const std::string first = dir + "/2025-12-09_17-06-40_ttyUSB0.vcap";
    if (recordings::FindConnectionFiles(first, &files, &error) && files.size() == 12) return files;
    ::mkdir(dir.c_str(), 0755);
    sim::SessionOptions o;
    o.device.protocol = 2;
    o.seconds = 12 * 3600.0;
    for (int h = 0; h < 12; ++h) {
        o.gaps.push_back({h * 3600.0 + 1200, 20, true});
        o.gaps.push_back({h * 3600.0 + 2400, 15, false});
    }
    if (!sim::WriteSimulatedConnection(dir, o, 3600, &files, &error)) std::abort();
    return files;
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

// The night's overview, opened from its sixth file.
void BM_NightOverview(benchmark::State& state) {
    const std::vector<std::string> files = NightFiles();
    for (auto _ : state) {
        std::vector<std::string> found;
        std::string error;
        recordings::FindConnectionFiles(files[5], &found, &error);
        ReviewIndex index;
        if (found.size() != 12 || !index.Build(found, nullptr)) state.SkipWithError("cannot build");
        benchmark::DoNotOptimize(index.SecondCount());
    }
}
BENCHMARK(BM_NightOverview)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Seeks to random places in the night (the time per iteration is the mean).
void BM_NightSeek(benchmark::State& state) {
    const std::vector<std::string> files = NightFiles();
    auto index = std::make_shared<ReviewIndex>();
    index->Build(files, nullptr);
    WaveformPlot plot;
    plot.RedrawPlot();
    std::string fields[ViewFieldCount];
    ReviewSession session(plot, [&](int f, const char* t) { fields[f] = t; }, {});
    if (!session.Open(files[5]) || session.Files().size() != 12) {
        state.SkipWithError("cannot open");
        return;
    }
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
BENCHMARK(BM_NightSeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(200);

// The night's whole export, as the review's Export.. runs it: EDF+ and CSV at once.
void BM_NightExport(benchmark::State& state) {
    const std::vector<std::string> files = NightFiles();
    const std::string out = files.front().substr(0, files.front().rfind('/')) + "/export";
    ExportOptions options;
    options.edf_path = out + ".edf";
    options.csv_path = out + ".csv";
    int64_t seconds = 0;
    for (auto _ : state) {
        std::string error;
        if (!ExportCaptureFiles(files, options, {}, &error, nullptr, &seconds))
            state.SkipWithError(error.c_str());
    }
    state.counters["seconds"] = static_cast<double>(seconds);
    ::unlink(options.edf_path.c_str());
    ::unlink(options.csv_path.c_str());
}
BENCHMARK(BM_NightExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

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
