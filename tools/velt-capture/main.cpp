// velt-capture: a recording tap between a device and the program (see tap.h).
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/map_entry.h"
#include "tools/velt-capture/tap.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
void OnSignal(int) { g_stop.store(true, std::memory_order_relaxed); }

constexpr int kRealTimePriority = 50;  // SCHED_FIFO, as the program's receive thread

void Usage(FILE* to) {
    std::fprintf(to,
                 "usage: velt-capture --device DEVICE --map LINK --protocol 1|2|3 --out FILE\n"
                 "  --device DEVICE  the device: a serial device node (/dev/ttyUSB0) or a USB\n"
                 "                   converter as \"description#serial\"\n"
                 "  --map LINK       the device-map entry the program opens (e.g.\n"
                 "                   <configuration dir>/dosdevices/com1); put back on exit\n"
                 "  --protocol N     the device's protocol: its line settings\n"
                 "  --out FILE       the capture file (both directions, time-stamped); an\n"
                 "                   existing file is kept unless --force is given\n"
                 "Ends on Ctrl-C, SIGTERM or SIGHUP and prints what passed.\n");
}

// 0 to run, 1 after --help, 2 on bad arguments.
int Parse(int argc, char** argv, capture::Options* a) {
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            Usage(stdout);
            return 1;
        }
        if (opt == "--force") {
            a->force = true;
            continue;
        }
        if (opt != "--device" && opt != "--map" && opt != "--protocol" && opt != "--out") {
            std::fprintf(stderr, "velt-capture: unknown option %s\n", opt.c_str());
            Usage(stderr);
            return 2;
        }
        if (i + 1 >= argc || argv[i + 1][0] == 0) {
            std::fprintf(stderr, "velt-capture: %s needs a value\n", opt.c_str());
            return 2;
        }
        std::string v = argv[++i];
        if (opt == "--device") {
            a->device = v;
        } else if (opt == "--map") {
            a->map_path = v;
        } else if (opt == "--out") {
            a->out_path = v;
        } else if (v == "1" || v == "2" || v == "3") {
            a->protocol = v[0] - '0';
        } else {
            std::fprintf(stderr, "velt-capture: bad value for --protocol: %s (1, 2 or 3)\n",
                         v.c_str());
            return 2;
        }
    }
    const char* missing = a->device.empty()     ? "--device"
                          : a->map_path.empty() ? "--map"
                          : a->protocol == 0    ? "--protocol"
                          : a->out_path.empty() ? "--out"
                                                : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "velt-capture: %s is missing\n", missing);
        Usage(stderr);
        return 2;
    }
    if (a->device == a->map_path || a->out_path == a->map_path || a->out_path == a->device) {
        std::fprintf(stderr, "velt-capture: --device, --map and --out must be different paths\n");
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    capture::Options a;
    int r = Parse(argc, argv, &a);
    if (r != 0) return r == 1 ? 0 : 2;

    // A tap killed earlier may have left this entry pointing at its dead terminal.
    const std::string restored = platform::RestoreAbandonedMapEntry(a.map_path);
    if (!restored.empty()) std::printf("velt-capture: %s\n", restored.c_str());

    std::string why;
    std::unique_ptr<capture::Device> device = capture::OpenDevice(a, &why);
    if (!device) {
        std::fprintf(stderr, "velt-capture: cannot open the device %s: %s\n", a.device.c_str(),
                     why.c_str());
        return 1;
    }

    // The signals wait blocked and are taken only inside the wait, so none is lost
    // between a check of the stop flag and the wait.
    sigset_t stop_signals, unblocked;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, &unblocked);
    sigdelset(&unblocked, SIGINT);
    sigdelset(&unblocked, SIGTERM);
    sigdelset(&unblocked, SIGHUP);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit is a full disk too: reported, never the end of the forwarding.
    signal(SIGXFSZ, SIG_IGN);

    // The program's receive thread asks for the same; without the privilege the tap
    // still keeps up, only its delay on a busy machine grows.
    sched_param rt{};
    rt.sched_priority = kRealTimePriority;
    bool real_time = sched_setscheduler(0, SCHED_FIFO, &rt) == 0;

    capture::Tap tap(a);
    if (!tap.Start(std::move(device), real_time)) return 1;
    tap.Run(g_stop, &unblocked);
    return tap.Finish();
}
