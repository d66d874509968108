// oximeter-sim: plays the measuring device on a pseudo-terminal (or into a file).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/oximeter-sim/device_model.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Usage() {
    std::fprintf(
        stderr,
        "usage: oximeter-sim [--protocol 1|2|3] [--map LINK | --output FILE]\n"
        "                    [--seconds N] [--bpm N] [--spo2 N] [--hbco N] [--perfusion N]\n"
        "                    [--noise 0..1] [--ptt-ms N] [--seed N]\n"
        "                    [--status ok|sensor|finger|perfusion|selftest]\n"
        "                    [--bad-checksum RATE] [--drop-byte RATE] [--cut-frame RATE] "
        "[--burst]\n");
}

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Writes what the line takes. With nobody reading (the host closed the port) the
// terminal's buffer fills; like a real device the simulator keeps sending and the
// bytes are lost. Returns false only for a broken pseudo-terminal.
bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd pf{fd, POLLOUT, 0};
                if (poll(&pf, 1, 5) <= 0) return true;
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Counts the host's acknowledgements: FD seq FB and FC seq FB.
struct AckCounter {
    long fd = 0, fc = 0;
    int state = 0;
    uint8_t kind = 0;
    void Feed(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = p[i];
            if (b == 0xFD || b == 0xFC) {
                kind = b;
                state = 1;
            } else if (state == 1) {
                state = 2;
            } else if (state == 2 && b == 0xFB) {
                (kind == 0xFD ? fd : fc)++;
                state = 0;
            } else {
                state = 0;
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    sim::Options o;
    std::string map_path, output_path;
    double seconds = -1;
    bool burst = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](double* out) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            *out = std::strtod(argv[++i], &end);
            return end != nullptr && *end == 0;
        };
        double v = 0;
        bool ok = true;
        if (a == "--protocol") {
            ok = value(&v) && (v == 1 || v == 2 || v == 3);
            o.protocol = static_cast<int>(v);
        } else if (a == "--map" && i + 1 < argc) {
            map_path = argv[++i];
        } else if (a == "--output" && i + 1 < argc) {
            output_path = argv[++i];
        } else if (a == "--seconds") {
            ok = value(&seconds) && seconds >= 0;
        } else if (a == "--bpm") {
            ok = value(&o.bpm) && o.bpm >= 20 && o.bpm <= 300;
        } else if (a == "--spo2") {
            ok = value(&o.spo2) && o.spo2 >= 0 && o.spo2 <= 100;
        } else if (a == "--hbco") {
            ok = value(&o.hbco) && o.hbco >= 0;
        } else if (a == "--perfusion") {
            ok = value(&o.perfusion) && o.perfusion > 0 && o.perfusion <= 20;
        } else if (a == "--noise") {
            ok = value(&o.noise) && o.noise >= 0 && o.noise <= 1;
        } else if (a == "--ptt-ms") {
            ok = value(&o.ptt_ms) && o.ptt_ms >= 0 && o.ptt_ms < 600;
        } else if (a == "--seed") {
            ok = value(&v) && v >= 0;
            o.seed = static_cast<uint64_t>(v);
        } else if (a == "--status" && i + 1 < argc) {
            o.status = sim::StatusCode(argv[++i]);
            ok = o.status >= 0;
        } else if (a == "--bad-checksum") {
            ok = value(&o.bad_checksum);
        } else if (a == "--drop-byte") {
            ok = value(&o.drop_byte);
        } else if (a == "--cut-frame") {
            ok = value(&o.cut_frame);
        } else if (a == "--burst") {
            burst = true;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "oximeter-sim: bad option %s\n", a.c_str());
            Usage();
            return 2;
        }
    }
    sim::DeviceModel model(o);

    if (!output_path.empty()) {
        FILE* f = std::fopen(output_path.c_str(), "wb");
        if (f == nullptr) {
            std::fprintf(stderr, "oximeter-sim: cannot write %s: %s\n", output_path.c_str(),
                         strerror(errno));
            return 1;
        }
        long records = static_cast<long>((seconds < 0 ? 10 : seconds) * 50);
        for (long r = 0; r < records; ++r) {
            std::vector<uint8_t> b = model.NextRecordBytes();
            std::fwrite(b.data(), 1, b.size(), f);
        }
        bool ok = std::fclose(f) == 0;
        std::printf("wrote %ld records (%llu frames) to %s\n", records,
                    static_cast<unsigned long long>(model.frames()), output_path.c_str());
        return ok ? 0 : 1;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "oximeter-sim: no pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    std::string slave_path = ptsname(master);
    // Holding the slave open keeps the pair alive while the host closes and reopens it.
    int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
        std::fprintf(stderr, "oximeter-sim: cannot set up %s: %s\n", slave_path.c_str(),
                     strerror(errno));
        return 1;
    }
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    if (!map_path.empty()) {
        std::string tmp = map_path + ".tmp";
        unlink(tmp.c_str());
        if (symlink(slave_path.c_str(), tmp.c_str()) != 0 ||
            rename(tmp.c_str(), map_path.c_str()) != 0) {
            std::fprintf(stderr, "oximeter-sim: cannot map %s: %s\n", map_path.c_str(),
                         strerror(errno));
            return 1;
        }
    }
    std::printf("oximeter-sim: protocol %d on %s%s%s\n", o.protocol, slave_path.c_str(),
                map_path.empty() ? "" : " mapped as ", map_path.c_str());
    std::fflush(stdout);

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    AckCounter acks;
    double start = Now();
    double next = start;
    long sent = 0;
    while (!g_stop && (seconds < 0 || Now() - start < seconds)) {
        int count = 1;
        // A burst: two seconds of records at once, every 10 s.
        if (burst && sent > 0 && sent % 500 == 0) count = 100;
        for (int k = 0; k < count; ++k) {
            std::vector<uint8_t> b = model.NextRecordBytes();
            if (!WriteAll(master, b.data(), b.size())) g_stop = 1;
            ++sent;
        }
        next += 0.020 * count;
        // Read acknowledgements until the next record is due.
        for (;;) {
            double wait = next - Now();
            if (wait <= 0) break;
            pollfd pf{master, POLLIN, 0};
            int r = poll(&pf, 1, static_cast<int>(wait * 1000) + 1);
            if (r > 0 && (pf.revents & POLLIN)) {
                uint8_t buf[256];
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) acks.Feed(buf, static_cast<size_t>(n));
            }
            if (g_stop) break;
        }
    }
    if (!map_path.empty()) unlink(map_path.c_str());
    std::printf("oximeter-sim: sent %llu frames (%ld records), host answered FD %ld, FC %ld\n",
                static_cast<unsigned long long>(model.frames()), sent, acks.fd, acks.fc);
    close(slave);
    close(master);
    return 0;
}
