// velt-ward: every monitor that publishes to the broker, on one screen.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/gui/toolbar_icons.h"
#include "app/ward/ward_window.h"
#include "export/broker_options.h"
#include "platform/system_info.h"

namespace {

std::atomic<bool> g_terminate{false};
std::atomic<bool> g_reset_stats{false};
void OnTerminate(int) { g_terminate.store(true); }
void OnResetStats(int) { g_reset_stats.store(true); }

const char* const kUsage =
    "usage: velt-ward [--broker URL] [--ca-file F] [--cert-file F] [--key-file F]\n"
    "                 [--username U] [--password-file F] [--monitors PATTERNS]\n"
    "                 [--stats FILE]\n"
    "Shows every monitor that publishes below velt/v1/ on the broker, one tile each,\n"
    "and sounds their alarms; F9 pauses the ward's alarm sound for two minutes.\n"
    "%s"
    "  --monitors PATTERNS  show only these monitors: shell patterns separated by\n"
    "                       commas or spaces (\"bed-1, bed-2, icu-*\"); all when empty\n"
    "  --stats FILE         at exit, write the messages taken, the publish-to-repaint\n"
    "                       latencies and those from an alarm's start at its monitor to\n"
    "                       its colour on the tile (ms: p50, p99, max) to FILE; SIGUSR1\n"
    "                       starts afresh\n"
    "Options given replace those of File > Broker.. (saved in %s).\n";

void WriteStats(const std::string& path, const WardWindow& w) {
    std::vector<int> l = w.Grid()->Latencies();
    std::vector<int> a = w.Grid()->AlarmLatencies();
    std::sort(l.begin(), l.end());
    std::sort(a.begin(), a.end());
    auto quantile = [](const std::vector<int>& v, double q) {
        return v.empty() ? -1 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    auto at = [&](double q) { return quantile(l, q); };
    std::ofstream out(path);
    out << "messages " << w.Messages() << "\nmonitors " << w.Model().Count() << "\nrepaints "
        << l.size() << "\ntiles_painted " << w.Grid()->TilesPainted() << "\nlatency_ms_p50 "
        << at(0.5) << "\nlatency_ms_p99 " << at(0.99) << "\nlatency_ms_max "
        << (l.empty() ? -1 : l.back()) << "\nalarms " << a.size() << "\nalarm_latency_ms_p50 "
        << quantile(a, 0.5) << "\nalarm_latency_ms_p99 " << quantile(a, 0.99)
        << "\nalarm_latency_ms_max " << (a.empty() ? -1 : a.back()) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    // At once, so that a signal that comes early finds its handler, not the default.
    std::signal(SIGTERM, OnTerminate);
    std::signal(SIGUSR1, OnResetStats);
    const std::string settings_path = platform::ConfigurationDirectory() + "/velt-ward.ini";
    WardSettings settings = ReadWardSettings(settings_path);
    std::string stats;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf(kUsage, mqtt::kBrokerOptionsUsage, settings_path.c_str());
            return 0;
        }
        if (a == "--version") {
            std::printf("velt-ward %s\n", VELT_VERSION);
            return 0;
        }
        std::string* target = mqtt::BrokerOptionField(&settings.broker, a);
        if (a == "--monitors")
            target = &settings.monitors;
        else if (a == "--stats")
            target = &stats;
        if (target == nullptr) {
            if (a.rfind("--", 0) == 0) {
                std::fprintf(stderr, "velt-ward: unknown option %s\n", a.c_str());
                std::fprintf(stderr, kUsage, mqtt::kBrokerOptionsUsage, settings_path.c_str());
                return 2;
            }
            rest.push_back(argv[i]);  // Qt's own (-platform, …)
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "velt-ward: %s needs a value\n", a.c_str());
            return 2;
        }
        *target = argv[++i];
    }
    if (!settings.broker.url.empty()) {
        mqtt::BrokerAddress address;
        std::string error;
        if (!mqtt::ParseBrokerUrl(settings.broker.url, &address, &error)) {
            std::fprintf(stderr, "velt-ward: %s\n", error.c_str());
            return 2;
        }
    }
    // Tiles repaint many times a second: their pixels go with the request, so no
    // repaint waits for a round trip to the X server (as in velt-monitoring).
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
    int rest_count = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    QApplication qt(rest_count, rest.data());
    QApplication::setApplicationName("VELT Ward");
    QApplication::setApplicationVersion(VELT_VERSION);
    QGuiApplication::setDesktopFileName("velt-ward");
    QApplication::setWindowIcon(ProgramIcon());
    WardWindow window(settings, settings_path);
    window.show();
    // SIGTERM ends the ward as File > Exit does, so that --stats is still written.
    // SIGUSR1 starts the --stats figures afresh (a benchmark's warm-up is over).
    QTimer terminate_check;
    QObject::connect(&terminate_check, &QTimer::timeout, [&window] {
        if (g_reset_stats.exchange(false)) window.ResetStats();
        if (g_terminate.load()) QApplication::quit();
    });
    terminate_check.start(200);
    const int status = QApplication::exec();
    if (!stats.empty()) WriteStats(stats, window);
    return status;
}
