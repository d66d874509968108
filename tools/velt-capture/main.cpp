// velt-capture: a recording tap between a device and the program (see tap.h).
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file_identity.h"
#include "platform/map_entry.h"
#include "tools/velt-capture/inspect.h"
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
                 "Ends on Ctrl-C, SIGTERM or SIGHUP and prints what passed.\n"
                 "       velt-capture --dump FILE\n"
                 "       velt-capture --cut FILE --from SECONDS --to SECONDS --out NEW [--force]\n"
                 "       velt-capture --pcapng FILE --out NEW.pcapng [--force]\n"
                 "  --dump    one line per record: time, > device to program or < program to\n"
                 "            device, length, hex, text; events in words; damage where it is\n"
                 "  --cut     a piece of a capture, itself a whole capture\n"
                 "  --pcapng  for Wireshark: a packet per record, its direction in the flags\n"
                 "Reading ends with status 3 when damage or a cut tail was skipped.\n");
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
    if (a->device == a->map_path) {
        std::fprintf(stderr, "velt-capture: --device and --map must be different paths\n");
        return 2;
    }
    // The entry leads to the device: a capture written there would replace either.
    for (const std::string* in : {&a->device, &a->map_path}) {
        if (a->out_path == *in || platform::SameFile(a->out_path, *in)) {
            std::fprintf(stderr, "velt-capture: --out %s is the same file as %s %s\n",
                         a->out_path.c_str(), in == &a->device ? "--device" : "--map", in->c_str());
            return 2;
        }
    }
    return 0;
}

// --dump, --cut and --pcapng: -1 when argv asks for none of them, else the status.
int Inspect(int argc, char** argv) {
    if (argc < 3) return -1;
    const std::string mode = argv[1];
    if (mode != "--dump" && mode != "--cut" && mode != "--pcapng") return -1;
    const std::string file = argv[2];
    if (mode == "--dump") {
        if (argc != 3) {
            std::fprintf(stderr, "velt-capture: --dump takes one file\n");
            return 2;
        }
        return capture::Dump(file, stdout, stderr);
    }
    std::string out, from, to;
    bool force = false;
    for (int i = 3; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--force") {
            force = true;
            continue;
        }
        std::string* value = opt == "--out"                       ? &out
                             : mode == "--cut" && opt == "--from" ? &from
                             : mode == "--cut" && opt == "--to"   ? &to
                                                                  : nullptr;
        if (value == nullptr || i + 1 >= argc) {
            std::fprintf(stderr, "velt-capture: %s: unknown option or missing value: %s\n",
                         mode.c_str(), opt.c_str());
            return 2;
        }
        *value = argv[++i];
    }
    if (out.empty() || (mode == "--cut" && (from.empty() || to.empty()))) {
        std::fprintf(stderr, "velt-capture: %s needs %s\n", mode.c_str(),
                     mode == "--cut" ? "--from, --to and --out" : "--out");
        return 2;
    }
    if (out == file || platform::SameFile(out, file)) {
        std::fprintf(stderr,
                     "velt-capture: --out %s is the capture %s itself: choose another file\n",
                     out.c_str(), file.c_str());
        return 2;
    }
    if (mode == "--pcapng") return capture::ToPcapng(file, out, force, stderr);
    char* end_from = nullptr;
    char* end_to = nullptr;
    const double f = std::strtod(from.c_str(), &end_from);
    const double t = std::strtod(to.c_str(), &end_to);
    if (*end_from != 0 || *end_to != 0) {
        std::fprintf(stderr, "velt-capture: --from and --to take seconds\n");
        return 2;
    }
    return capture::Cut(file, f, t, out, force, stderr);
}

}  // namespace

int main(int argc, char** argv) {
    const int inspected = Inspect(argc, argv);
    if (inspected >= 0) return inspected;
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
