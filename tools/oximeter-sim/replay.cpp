#include "tools/oximeter-sim/replay.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "recordings/capture_file.h"
#include "tools/oximeter-sim/wire_encoder.h"

namespace sim {
namespace {

volatile sig_atomic_t g_stop = 0;  // the signal that stopped the replay
volatile sig_atomic_t g_sender = 0;
void OnSignal(int signal, siginfo_t* info, void*) {
    g_sender = info != nullptr ? info->si_pid : 0;
    g_stop = signal;
}

// The program empties its input right after it opens the port, and a recording's
// open is when the tap noticed it, a few milliseconds late: the replay's clock starts
// this long after the open so that no first byte falls into that purge.
constexpr double kSettleS = 0.020;

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Sleep(double seconds) {
    timespec ts{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    nanosleep(&ts, nullptr);
}

std::string Hex(const std::vector<uint8_t>& b, size_t from) {
    std::string s;
    char part[4];
    size_t end = std::min(b.size(), from + 8);
    for (size_t i = from; i < end; ++i) {
        std::snprintf(part, sizeof part, i == from ? "%02X" : " %02X", b[i]);
        s += part;
    }
    if (end < b.size()) s += " ...";
    return s.empty() ? "(nothing)" : s;
}

// Takes what the program wrote; false when nothing was there (or the port closed).
bool ReadAnswers(int master, std::vector<uint8_t>* live) {
    uint8_t buf[512];
    ssize_t got = read(master, buf, sizeof buf);
    if (got <= 0) return false;
    live->insert(live->end(), buf, buf + got);
    return true;
}

bool HungUp(int master) {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
}

}  // namespace

bool LoadReplay(const uint8_t* data, size_t size, ReplayPlan* plan, std::string* error) {
    recordings::CaptureReader reader(data, size);
    if (reader.status() != recordings::CaptureReader::Status::Ok) {
        *error = reader.Error();
        return false;
    }
    ReplayPlan& p = *plan;
    p = ReplayPlan{};
    p.protocol = reader.header().protocol;

    // Where the recorded program began to listen: at its first open, or, when the
    // capture starts with the port open, at the first byte it received.
    recordings::CaptureReader scan = reader;
    recordings::CaptureRecord r;
    bool decided = false, opened_first = false;
    while (scan.Next(&r)) {
        ++p.records;
        if (!decided && (r.kind == recordings::CaptureKind::PortOpened ||
                         r.kind == recordings::CaptureKind::PortClosed)) {
            decided = true;
            if (r.kind == recordings::CaptureKind::PortOpened) {
                opened_first = true;
                p.start_ms = r.time_ms;
                p.answers.clear();
            }
        }
        if (r.kind == recordings::CaptureKind::ProgramBytes)
            p.answers.insert(p.answers.end(), r.data, r.data + r.size);
    }
    p.truncated = scan.truncated();
    p.good_size = scan.offset();

    recordings::ForEachReceivedChunk(reader, [&](const recordings::CaptureRecord& c) {
        if (c.size == 0) return;
        if (p.chunks.empty() && !opened_first) p.start_ms = c.time_ms;
        p.bytes.insert(p.bytes.end(), c.data, c.data + c.size);
        p.chunks.push_back({c.time_ms, p.bytes.size()});
    });
    return true;
}

std::string CompareAnswers(const std::vector<uint8_t>& recorded, const std::vector<uint8_t>& live) {
    size_t n = std::min(recorded.size(), live.size());
    size_t at = static_cast<size_t>(
        std::mismatch(recorded.begin(), recorded.begin() + static_cast<long>(n), live.begin())
            .first -
        recorded.begin());
    char text[200];
    if (at == n && recorded.size() == live.size()) {
        std::snprintf(text, sizeof text, "answers match (%zu bytes)", n);
        return text;
    }
    std::snprintf(text, sizeof text, "answers differ at byte %zu: recorded ", at);
    return text + Hex(recorded, at) + ", live " + Hex(live, at) + " (recorded " +
           std::to_string(recorded.size()) + " bytes, live " + std::to_string(live.size()) +
           " bytes)";
}

bool MapLink(const std::string& link, const std::string& target, std::string* error) {
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        *error = strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

int OpenDevicePty(std::string* slave_path, std::string* error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = std::string("no pseudo-terminal: ") + strerror(errno);
        if (master >= 0) close(master);
        return -1;
    }
    *slave_path = ptsname(master);
    termios t{};
    if (tcgetattr(master, &t) != 0) {
        *error = "cannot set up " + *slave_path + ": " + strerror(errno);
        close(master);
        return -1;
    }
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

int RunReplay(const ReplayOptions& o) {
    std::ifstream in(o.capture_path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        std::fprintf(stderr, "oximeter-sim: cannot read %s: %s\n", o.capture_path.c_str(),
                     strerror(errno));
        return 1;
    }
    ReplayPlan plan;
    std::string error;
    if (!LoadReplay(file.data(), file.size(), &plan, &error)) {
        std::fprintf(stderr, "oximeter-sim: %s is not a readable capture: %s\n",
                     o.capture_path.c_str(), error.c_str());
        return 1;
    }
    if (plan.truncated)
        std::printf(
            "oximeter-sim: note: %s is cut short at byte %zu of %zu; playing its %zu whole "
            "records\n",
            o.capture_path.c_str(), plan.good_size, file.size(), plan.records);
    const uint32_t last_ms = plan.chunks.empty() ? plan.start_ms : plan.chunks.back().time_ms;
    const double span = (last_ms - plan.start_ms) / 1000.0;

    std::string slave_path;
    int master = OpenDevicePty(&slave_path, &error);
    if (master < 0) {
        std::fprintf(stderr, "oximeter-sim: %s\n", error.c_str());
        return 1;
    }
    // Opened and closed once, the slave reads as hung up until the program opens it:
    // that is how its first open shows.
    int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) close(slave);

    if (!o.map_path.empty() && !MapLink(o.map_path, slave_path, &error)) {
        std::fprintf(stderr, "oximeter-sim: cannot map %s: %s\n", o.map_path.c_str(),
                     error.c_str());
        close(master);
        return 1;
    }
    std::printf(
        "oximeter-sim: replay of %s: protocol %d, %zu bytes in %zu chunks over %.3f s, "
        "speed %g, on %s%s%s\n",
        o.capture_path.c_str(), plan.protocol, plan.bytes.size(), plan.chunks.size(), span, o.speed,
        slave_path.c_str(), o.map_path.empty() ? "" : " mapped as ", o.map_path.c_str());
    std::fflush(stdout);

    struct sigaction sa {};
    sa.sa_sigaction = OnSignal;  // no SA_RESTART: a signal ends the current wait
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    while (!g_stop && HungUp(master)) Sleep(0.002);
    if (!g_stop) {
        std::printf("oximeter-sim: program opened the port\n");
        std::fflush(stdout);
    }
    const double opened_at = Now() + kSettleS;

    LinePacer pacer(LineBytesPerSecond(plan.protocol));
    std::vector<uint8_t> live;
    size_t next = 0;     // the next chunk to fall due
    size_t due = 0;      // bytes due so far
    size_t written = 0;  // bytes on the line so far
    size_t timed = 0;    // chunks whose lateness has been taken
    double late_max = 0, late_sum = 0;
    bool blocked = false, closed = false;
    auto due_at = [&](size_t i) {
        if (o.speed == 0) return opened_at;
        return opened_at + (plan.chunks[i].time_ms - plan.start_ms) / 1000.0 / o.speed;
    };
    while (!g_stop && written < plan.bytes.size()) {
        double now = Now();
        while (next < plan.chunks.size() && now >= due_at(next)) due = plan.chunks[next++].end;
        size_t n = o.speed == 0 ? pacer.Take(now, due - written) : due - written;
        if (n > 0) {
            ssize_t w = write(master, plan.bytes.data() + written, n);
            blocked = w < static_cast<ssize_t>(n);
            if (w > 0) written += static_cast<size_t>(w);
            now = Now();
            for (; timed < next && plan.chunks[timed].end <= written; ++timed) {
                if (o.speed == 0) continue;
                double late = now - due_at(timed);
                late_max = std::max(late_max, late);
                late_sum += late;
            }
        }
        double until = now + 1.0;
        if (next < plan.chunks.size()) until = due_at(next);
        if (due > written) until = o.speed == 0 ? pacer.NextDue(now, due - written) : now;
        int wait_ms = std::max(0, static_cast<int>(std::ceil((until - now) * 1000)));
        pollfd pf{master, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
        if (blocked && due > written) wait_ms = 1000;
        if (poll(&pf, 1, wait_ms) > 0) {
            if (pf.revents & POLLIN) ReadAnswers(master, &live);
            if (pf.revents & POLLOUT) blocked = false;
            if (pf.revents & POLLHUP) {
                closed = true;
                break;
            }
        }
    }
    const double played = Now() - opened_at;
    // The answers to the last frames may still be on their way: take them until the
    // program has been quiet for a while.
    const double drain_end = Now() + 10.0;
    double quiet_since = Now();
    while (!closed && !g_stop && Now() - quiet_since < 0.5 && Now() < drain_end) {
        pollfd pf{master, POLLIN, 0};
        if (poll(&pf, 1, 50) > 0) {
            if (!(pf.revents & POLLIN) || !ReadAnswers(master, &live)) break;
            quiet_since = Now();
        }
    }
    // A program that closed may have left its last answers behind.
    while (ReadAnswers(master, &live)) {
    }
    if (!o.map_path.empty()) unlink(o.map_path.c_str());
    if (closed)
        std::printf("oximeter-sim: the program closed the port after %zu of %zu bytes\n", written,
                    plan.bytes.size());
    else if (g_stop)
        std::printf("oximeter-sim: stopped by signal %d (from process %d) after %zu of %zu bytes\n",
                    static_cast<int>(g_stop), static_cast<int>(g_sender), written,
                    plan.bytes.size());
    std::printf("oximeter-sim: played %zu bytes in %zu chunks in %.3f s (recorded %.3f s)", written,
                timed, played, span);
    if (o.speed > 0 && timed > 0)
        std::printf(", chunks late by %.1f ms on average, at most %.1f ms",
                    late_sum / static_cast<double>(timed) * 1000, late_max * 1000);
    std::printf("\noximeter-sim: %s\n", CompareAnswers(plan.answers, live).c_str());
    std::fflush(stdout);
    close(master);
    return 0;
}

}  // namespace sim
