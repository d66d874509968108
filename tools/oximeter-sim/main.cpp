// oximeter-sim: plays the measuring device on a pseudo-terminal (or into a file).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_identity.h"
#include "recordings/edf_writer.h"
#include "tools/oximeter-sim/device_model.h"
#include "tools/oximeter-sim/replay.h"
#include "tools/oximeter-sim/scenario.h"
#include "tools/oximeter-sim/sim_session.h"
#include "tools/oximeter-sim/wire_encoder.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Usage(FILE* to) {
    std::fprintf(
        to,
        "usage: oximeter-sim [--protocol 1|2|3] [--map LINK | --output FILE] [--seconds N]\n"
        "                    [--once] [--bpm N] [--spo2 N] [--hbco N] [--perfusion N]\n"
        "                    [--noise 0..1] [--ptt-ms N] [--seed N]\n"
        "                    [--status ok|sensor|finger|perfusion|selftest]\n"
        "                    [--bad-checksum RATE] [--drop-byte RATE] [--cut-frame RATE]\n"
        "                    [--burst] [--scenario FILE]\n"
        "       oximeter-sim --replay CAPTURE [--speed X] [--map LINK]\n"
        "       oximeter-sim --session DIR [--file-seconds N] [--seconds N] [device options]\n"
        "  --map LINK     point a device-map entry (e.g. <configuration dir>/dosdevices/com1,\n"
        "                 shown by velt-ports) at the pseudo-terminal; removed on exit\n"
        "  --output FILE  write the stream unpaced, for --seconds of device time (10)\n"
        "  --record FILE.edf  also write the plethysmogram as a recording\n"
        "  --once         end when the host closes the port (default: wait for the next open)\n"
        "  --burst        a 30 ms noise burst on the line every 5 s\n"
        "  --scenario FILE  what the device measures as time goes on: one line per change,\n"
        "                 SECONDS key=value ... with spo2, bpm, perfusion, hbco, status,\n"
        "                 ramp=SECONDS (reach the numbers linearly over that time) and\n"
        "                 unplug=SECONDS (the line goes away for that long); # comments\n"
        "  --replay CAPTURE  play what the program received in a capture, from its open\n"
        "  --speed X      replay timing sped up by X (1); 0: as fast as the line allows\n"
        "  --session DIR  write, unpaced, the session files the program records for one\n"
        "                 connection to such a device for --seconds (10): a new file every\n"
        "                 --file-seconds (3600), named and begun as the program's own\n");
}

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Args {
    sim::Options model;
    std::string map_path, output_path, record_path, session_dir;
    double seconds = -1;
    double file_seconds = 3600;
    bool once = false;
    sim::ReplayOptions replay;
    std::string device_option;  // the first device-model option given, for --replay
    sim::Scenario scenario;
};

using sim::ParseNumber;

// Returns 0 to run, 1 after --help, 2 on a bad option.
int Parse(int argc, char** argv, Args* a) {
    sim::Options& o = a->model;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            Usage(stdout);
            return 1;
        }
        if (opt == "--once" || opt == "--burst") {
            if (a->device_option.empty()) a->device_option = opt;
            (opt == "--once" ? a->once : o.burst) = true;
            continue;
        }
        static const char* const kValued[] = {
            "--protocol", "--map",          "--output",      "--record",    "--seconds", "--bpm",
            "--spo2",     "--hbco",         "--perfusion",   "--noise",     "--ptt-ms",  "--seed",
            "--status",   "--bad-checksum", "--drop-byte",   "--cut-frame", "--replay",  "--speed",
            "--scenario", "--session",      "--file-seconds"};
        if (std::find(std::begin(kValued), std::end(kValued), opt) == std::end(kValued)) {
            std::fprintf(stderr, "oximeter-sim: unknown option %s\n", opt.c_str());
            Usage(stderr);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "oximeter-sim: %s needs a value\n", opt.c_str());
            return 2;
        }
        const char* v = argv[++i];
        double d = 0;
        bool ok = true;
        if (opt != "--map" && opt != "--replay" && opt != "--speed" && a->device_option.empty())
            a->device_option = opt;
        if (opt == "--session") {
            a->session_dir = v;
        } else if (opt == "--file-seconds") {
            ok = ParseNumber(v, 1, 1e7, &a->file_seconds);
        } else if (opt == "--replay") {
            a->replay.capture_path = v;
        } else if (opt == "--speed") {
            ok = ParseNumber(v, 0, 1e6, &a->replay.speed);
        } else if (opt == "--protocol") {
            ok = ParseNumber(v, 1, 3, &d) && d == std::floor(d);
            o.protocol = static_cast<int>(d);
        } else if (opt == "--map") {
            a->map_path = v;
        } else if (opt == "--output") {
            a->output_path = v;
        } else if (opt == "--record") {
            a->record_path = v;
        } else if (opt == "--seconds") {
            ok = ParseNumber(v, 0, 1e7, &a->seconds);
        } else if (opt == "--bpm") {
            ok = ParseNumber(v, 20, 300, &o.bpm);
        } else if (opt == "--spo2") {
            ok = ParseNumber(v, 0, 100, &o.spo2);
        } else if (opt == "--hbco") {
            ok = ParseNumber(v, 0, 100, &o.hbco);
        } else if (opt == "--perfusion") {
            ok = ParseNumber(v, 0.01, 20, &o.perfusion);
        } else if (opt == "--noise") {
            ok = ParseNumber(v, 0, 1, &o.noise);
        } else if (opt == "--ptt-ms") {
            ok = ParseNumber(v, 0, 599, &o.ptt_ms);
        } else if (opt == "--seed") {
            char* end = nullptr;
            errno = 0;
            o.seed = std::strtoull(v, &end, 10);
            ok = end != v && *end == 0 && errno == 0 && v[0] != '-';
        } else if (opt == "--status") {
            o.status = sim::StatusCode(v);
            ok = o.status >= 0;
        } else if (opt == "--bad-checksum") {
            ok = ParseNumber(v, 0, 1, &o.bad_checksum);
        } else if (opt == "--drop-byte") {
            ok = ParseNumber(v, 0, 1, &o.drop_byte);
        } else if (opt == "--cut-frame") {
            ok = ParseNumber(v, 0, 1, &o.cut_frame);
        } else if (opt == "--scenario") {
            std::string error;
            if (!a->scenario.Load(v, &error)) {
                std::fprintf(stderr, "oximeter-sim: --scenario %s\n", error.c_str());
                return 2;
            }
        }
        if (!ok) {
            std::fprintf(stderr, "oximeter-sim: bad value for %s: %s\n", opt.c_str(), v);
            return 2;
        }
    }
    a->replay.map_path = a->map_path;
    if (!a->replay.capture_path.empty() && !a->device_option.empty()) {
        std::fprintf(stderr, "oximeter-sim: --replay plays a capture; %s does not apply to it\n",
                     a->device_option.c_str());
        return 2;
    }
    if (a->replay.capture_path.empty() && a->replay.speed != 1) {
        std::fprintf(stderr, "oximeter-sim: --speed needs --replay\n");
        return 2;
    }
    if (!a->session_dir.empty() && (!a->map_path.empty() || !a->output_path.empty())) {
        std::fprintf(stderr, "oximeter-sim: --session writes files of its own\n");
        return 2;
    }
    if (!a->map_path.empty() && !a->output_path.empty()) {
        std::fprintf(stderr, "oximeter-sim: --map and --output exclude each other\n");
        return 2;
    }
    // No file written (the map entry is replaced by a link) may be another one named
    // here, a capture being replayed above all, nor a session being recorded.
    const std::pair<const char*, const std::string*> files[] = {
        {"--replay", &a->replay.capture_path},
        {"--map", &a->map_path},
        {"--output", &a->output_path},
        {"--record", &a->record_path}};
    for (size_t i = 1; i < std::size(files); ++i) {
        const std::string& out = *files[i].second;
        if (out.empty()) continue;
        for (size_t j = 0; j < i; ++j) {
            const std::string& other = *files[j].second;
            if (!other.empty() && (out == other || platform::SameFile(out, other))) {
                std::fprintf(stderr, "oximeter-sim: %s %s is the same file as %s %s\n",
                             files[i].first, out.c_str(), files[j].first, other.c_str());
                return 2;
            }
        }
        if (i > 1 && platform::HeldByWriter(out)) {
            std::fprintf(stderr, "oximeter-sim: %s %s is a session being recorded\n",
                         files[i].first, out.c_str());
            return 2;
        }
    }
    return 0;
}

// The plethysmogram as a recording: a type-1 record per sample (time stamps in
// 5 ms units), and now and then a type-2 (values), type-3 (block) and type-4 record.
class Recorder {
public:
    bool Open(const std::string& path) {
        if (path.empty()) return true;
        on_ = writer_.Open(path);
        if (!on_)
            std::fprintf(stderr, "oximeter-sim: cannot record %s: %s\n", path.c_str(),
                         writer_.Error().c_str());
        return on_;
    }
    void Add(const sim::DeviceModel& model, const sim::Options& o) {
        if (!on_) return;
        uint64_t n = model.records();
        uint32_t time = static_cast<uint32_t>((n - 1) * 4);  // 20 ms per record
        writer_.WriteSample(time, model.LastPleth());
        if (n % 50 == 0)
            writer_.WriteValues(time, static_cast<uint16_t>(std::lround(o.spo2 * 10)),
                                static_cast<uint16_t>(std::lround(o.bpm * 10)),
                                static_cast<uint16_t>(std::lround(o.perfusion * 100)),
                                static_cast<uint8_t>(o.status), 0);
        if (n % 250 == 0) {
            uint8_t block[20] = {};
            for (int i = 0; i < 20; ++i) block[i] = static_cast<uint8_t>(n + i);
            writer_.WriteBlock(time, block);
        }
        if (n % 500 == 0) {
            uint8_t body[8] = {1, 2, 3, 4, static_cast<uint8_t>(n), 0, 0, 0};
            writer_.WriteVariable(time, body, sizeof body);
        }
    }
    bool Close() {
        if (!on_) return true;
        on_ = false;
        if (writer_.Close()) return true;
        std::fprintf(stderr, "oximeter-sim: recording failed: %s\n", writer_.Error().c_str());
        return false;
    }

private:
    recordings::CEdfWriter writer_;
    bool on_ = false;
};

int WriteFile(const Args& a) {
    sim::DeviceModel model(a.model);
    FILE* f = std::fopen(a.output_path.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "oximeter-sim: cannot write %s: %s\n", a.output_path.c_str(),
                     strerror(errno));
        return 1;
    }
    Recorder recorder;
    if (!recorder.Open(a.record_path)) {
        std::fclose(f);
        return 1;
    }
    long records = std::lround((a.seconds < 0 ? 10 : a.seconds) * 50);
    sim::ScenarioPlayer story(a.scenario, a.model);
    bool ok = true;
    for (long r = 0; r < records && ok; ++r) {
        const double t = static_cast<double>(r) * 0.020;
        model.SetValues(story.ValuesAt(t));
        std::vector<uint8_t> b = model.NextRecordBytes();
        recorder.Add(model, model.values());
        // An unplugged line carries nothing; the device measures on.
        if (!story.Unplugged(t)) ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    }
    ok = std::fclose(f) == 0 && ok;
    ok = recorder.Close() && ok;
    if (!ok) {
        std::fprintf(stderr, "oximeter-sim: writing %s failed\n", a.output_path.c_str());
        return 1;
    }
    std::printf("oximeter-sim: wrote %ld records (%llu frames) to %s\n", records,
                static_cast<unsigned long long>(model.frames()), a.output_path.c_str());
    return 0;
}

int WriteSession(const Args& a) {
    sim::SessionOptions o;
    o.device = a.model;
    o.seconds = a.seconds < 0 ? 10 : a.seconds;
    o.scenario = a.scenario;
    std::vector<std::string> paths;
    std::string error;
    const bool ok = sim::WriteSimulatedConnection(a.session_dir, o, a.file_seconds, &paths, &error);
    for (const std::string& path : paths) std::printf("oximeter-sim: wrote %s\n", path.c_str());
    if (ok) return 0;
    std::fprintf(stderr, "oximeter-sim: %s\n", error.c_str());
    return 1;
}

struct Counts {
    unsigned long long records = 0, frames = 0;
    long acks = 0, rejections = 0;
};

void PrintCounts(const char* what, const Counts& c) {
    std::printf("oximeter-sim: %s: sent %llu frames (%llu records), host answered FD %ld, FC %ld\n",
                what, c.frames, c.records, c.acks, c.rejections);
    std::fflush(stdout);
}

// One line per connection of the host, for scripts: its number, the frames sent
// while it was open and the host's FD and FC answers to them.
void PrintConnection(int number, const Counts& c) {
    std::printf("oximeter-sim: connection %d: frames %llu, FD %ld, FC %ld\n", number, c.frames,
                c.acks, c.rejections);
    std::fflush(stdout);
}

// Reads what the host wrote; false once nothing more can come.
bool ReadAnswers(int master, sim::AnswerCounter* answers) {
    uint8_t buf[256];
    ssize_t got = read(master, buf, sizeof buf);
    if (got <= 0) return false;
    answers->Feed(buf, static_cast<size_t>(got));
    return true;
}

// A pseudo-terminal for the device, mapped where asked: its master, or -1 (said why).
int Plug(const Args& a) {
    std::string slave_path, error;
    int master = sim::OpenDevicePty(&slave_path, &error);
    if (master < 0) {
        std::fprintf(stderr, "oximeter-sim: %s\n", error.c_str());
        return -1;
    }
    if (!a.map_path.empty() && !sim::MapLink(a.map_path, slave_path, &error)) {
        std::fprintf(stderr, "oximeter-sim: cannot map %s: %s\n", a.map_path.c_str(),
                     error.c_str());
        close(master);
        return -1;
    }
    std::printf("oximeter-sim: protocol %d on %s%s%s\n", a.model.protocol, slave_path.c_str(),
                a.map_path.empty() ? "" : " mapped as ", a.map_path.c_str());
    std::fflush(stdout);
    return master;
}

// The device on a pseudo-terminal, paced at the line rate, until a signal,
// --seconds of device time, or (with --once) the host closing the port. A scenario's
// unplug closes the pseudo-terminal and takes the map entry away; the device comes
// back on a new one.
int RunOnPty(const Args& a) {
    Recorder recorder;
    if (!recorder.Open(a.record_path)) return 1;
    int master = Plug(a);
    if (master < 0) return 1;

    struct sigaction sa {};
    sa.sa_handler = OnSignal;  // no SA_RESTART: a signal ends the current wait
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::DeviceModel model(a.model);
    sim::ScenarioPlayer story(a.scenario, a.model);
    sim::LinePacer pacer(sim::LineBytesPerSecond(a.model.protocol));
    sim::AnswerCounter answers;
    Counts total, session;
    long session_acks = 0, session_rejections = 0;  // answers before this session
    int connection = 0;                             // connections ended so far
    std::vector<uint8_t> line;                      // bytes waiting for their turn on the line
    long records_due = a.seconds < 0 ? -1 : std::lround(a.seconds * 50);
    double next_record = Now();
    // Until a host has been seen to close, the slave is taken as open: a pty does
    // not tell a never-opened slave from an open one.
    bool host_there = true;
    // The counts of the connection that just ended, under the given reason.
    auto end_connection = [&](const char* why) {
        while (ReadAnswers(master, &answers)) {
        }
        session.acks = answers.acks() - session_acks;
        session.rejections = answers.rejections() - session_rejections;
        PrintCounts(why, session);
        PrintConnection(++connection, session);
        session_acks = answers.acks();
        session_rejections = answers.rejections();
        session = Counts{};
        line.clear();
    };

    while (!g_stop &&
           (records_due < 0 || static_cast<long>(model.records()) < records_due || !line.empty())) {
        double now = Now();
        if (master >= 0) {
            pollfd probe{master, POLLIN, 0};
            poll(&probe, 1, 0);
            bool there = (probe.revents & POLLHUP) == 0;
            if (host_there && !there) {
                end_connection("host closed the port");
                if (a.once) break;
            } else if (!host_there && there) {
                std::printf("oximeter-sim: host opened the port\n");
                std::fflush(stdout);
            }
            host_there = there;
        }

        // The device keeps measuring whether or not anybody listens.
        while (now >= next_record &&
               (records_due < 0 || static_cast<long>(model.records()) < records_due)) {
            const double t = static_cast<double>(model.records()) * 0.020;
            model.SetValues(story.ValuesAt(t));
            const bool unplugged = story.Unplugged(t);
            if (unplugged && master >= 0) {
                if (host_there) end_connection("unplugged");
                close(master);
                master = -1;
                if (!a.map_path.empty()) unlink(a.map_path.c_str());
                std::printf("oximeter-sim: unplugged at %.2f s\n", t);
                std::fflush(stdout);
            } else if (!unplugged && master < 0) {
                if ((master = Plug(a)) < 0) return 1;
                host_there = true;
            }
            unsigned long long before = model.frames();
            std::vector<uint8_t> b = model.NextRecordBytes();
            recorder.Add(model, model.values());
            if (master >= 0 && host_there) {
                line.insert(line.end(), b.begin(), b.end());
                session.frames += model.frames() - before;
                total.frames += model.frames() - before;
                ++session.records;
                ++total.records;
            }
            next_record += 0.020;
        }
        if (records_due >= 0 && static_cast<long>(model.records()) >= records_due)
            next_record = now + 1.0;

        size_t n = pacer.Take(now, line.size());
        if (n > 0) {
            // A full pty buffer means nobody reads: those bytes are lost on the line.
            ssize_t w = write(master, line.data(), n);
            (void)w;
            line.erase(line.begin(), line.begin() + static_cast<long>(n));
        }

        double until = next_record;
        if (!line.empty()) until = std::min(until, pacer.NextDue(now, line.size()));
        int wait_ms = std::max(0, static_cast<int>(std::ceil((until - Now()) * 1000)));
        if (master >= 0 && host_there) {
            pollfd pf{master, POLLIN, 0};
            if (poll(&pf, 1, wait_ms) > 0 && (pf.revents & POLLIN)) ReadAnswers(master, &answers);
        } else if (wait_ms > 0) {
            // A closed slave keeps the master hung up; poll would return at once.
            timespec ts{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
            nanosleep(&ts, nullptr);
        }
    }
    // Answers to the last frames may still be on their way: take them until the host
    // has been quiet for a while, so that the counts match what the host sent.
    const double drain_end = Now() + 2.0;
    double quiet_since = Now();
    while (master >= 0 && host_there && Now() - quiet_since < 0.3 && Now() < drain_end) {
        pollfd pf{master, POLLIN, 0};
        if (poll(&pf, 1, 50) > 0 && (pf.revents & POLLIN)) {
            if (!ReadAnswers(master, &answers)) break;
            quiet_since = Now();
        } else if (pf.revents & POLLHUP) {
            break;
        }
    }
    total.acks = answers.acks();
    total.rejections = answers.rejections();
    if (master >= 0 && host_there) {
        session.acks = answers.acks() - session_acks;
        session.rejections = answers.rejections() - session_rejections;
        PrintConnection(++connection, session);
    }
    if (!a.map_path.empty()) unlink(a.map_path.c_str());
    PrintCounts("end", total);
    if (master >= 0) close(master);
    return recorder.Close() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    int r = Parse(argc, argv, &a);
    if (r != 0) return r == 1 ? 0 : 2;
    if (!a.replay.capture_path.empty()) return sim::RunReplay(a.replay);
    if (!a.session_dir.empty()) return WriteSession(a);
    return a.output_path.empty() ? RunOnPty(a) : WriteFile(a);
}
