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

#include "platform/map_entry.h"
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

void AnswerCheck::Live(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (differ_) {
            if (live_tail_.size() < 9) live_tail_.push_back(data[i]);
            ++live_;
            continue;
        }
        uint8_t recorded = 0;
        if (!NextRecorded(&recorded) || recorded != data[i]) {
            differ_ = true;
            at_ = live_;
            if (recorded_ > at_) recorded_tail_.push_back(recorded);
            live_tail_.push_back(data[i]);
        }
        ++live_;
    }
}

bool AnswerCheck::NextRecorded(uint8_t* byte) {
    while (!recorded_done_ && used_ >= current_.size) {
        used_ = 0;
        current_ = recordings::CaptureRecord{};
        if (!reader_.NextRecord(&current_)) {
            recorded_done_ = true;
            break;
        }
        if (current_.kind == recordings::CaptureKind::PortOpened) wait_for_open_ = false;
        if (current_.kind != recordings::CaptureKind::ProgramBytes || wait_for_open_)
            current_.size = 0;
    }
    if (recorded_done_) return false;
    *byte = current_.data[used_++];
    ++recorded_;
    return true;
}

std::string AnswerCheck::Result(bool to_the_end) {
    uint8_t b = 0;
    if (!differ_ && !to_the_end)
        return "answers match so far (" + std::to_string(live_) + " bytes)";
    if (!differ_) {
        if (NextRecorded(&b)) {  // the live answers stopped short
            differ_ = true;
            at_ = live_;
            recorded_tail_.push_back(b);
        } else {
            return "answers match (" + std::to_string(live_) + " bytes)";
        }
    }
    while (recorded_tail_.size() < 9 && NextRecorded(&b)) recorded_tail_.push_back(b);
    while (to_the_end && NextRecorded(&b)) {
    }
    char text[200];
    std::snprintf(text, sizeof text, "answers differ at byte %llu: recorded ",
                  static_cast<unsigned long long>(at_));
    return text + Hex(recorded_tail_, 0) + ", live " + Hex(live_tail_, 0) + " (recorded " +
           std::to_string(recorded_) + " bytes, live " + std::to_string(live_) + " bytes)";
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
    std::string error;
    std::unique_ptr<recordings::CaptureByteSource> source =
        recordings::OpenCaptureFileSource(o.capture_path, &error);
    if (!source) {
        std::fprintf(stderr, "oximeter-sim: cannot read %s: %s\n", o.capture_path.c_str(),
                     error.c_str());
        return 1;
    }
    recordings::CaptureFileReader play, recorded;
    if (!play.Open(std::move(source)) || !recorded.Open(o.capture_path)) {
        std::fprintf(stderr, "oximeter-sim: %s is not a readable capture: %s\n",
                     o.capture_path.c_str(),
                     (play.Error().empty() ? recorded.Error() : play.Error()).c_str());
        return 1;
    }
    const int protocol = play.header().protocol;

    // First pass: where the program began to listen, what it received, how long.
    bool opened_first = false, decided = false;
    uint64_t start_us = 0, last_us = 0, bytes = 0, chunks = 0, records = 0;
    {
        recordings::CaptureRecord r;
        while (play.NextRecord(&r)) {
            ++records;
            if (!decided && (r.kind == recordings::CaptureKind::PortOpened ||
                             r.kind == recordings::CaptureKind::PortClosed)) {
                decided = true;
                opened_first = r.kind == recordings::CaptureKind::PortOpened;
                if (opened_first) start_us = r.time_us;
            }
        }
        play.Seek(play.records_start());
        recordings::ReceivedChunks received(!opened_first);
        recordings::CaptureFileReader again;
        again.Open(o.capture_path);
        while (again.NextRecord(&r)) {
            if (!received.Take(r) || r.size == 0) continue;
            if (chunks == 0 && !opened_first) start_us = r.time_us;
            ++chunks;
            bytes += r.size;
            last_us = r.time_us;
        }
    }
    if (!play.Error().empty()) {
        std::fprintf(stderr, "oximeter-sim: cannot read %s: %s\n", o.capture_path.c_str(),
                     play.Error().c_str());
        return 1;
    }
    const bool skipped = play.damages() > 0 || play.cut();
    if (play.damages() > 0)
        std::printf(
            "oximeter-sim: note: %s: %s (%u places, %llu bytes skipped in all); playing "
            "the good records\n",
            o.capture_path.c_str(), recordings::DescribeCaptureEvent(play.first_damage()).c_str(),
            play.damages(), static_cast<unsigned long long>(play.damaged_bytes()));
    if (play.cut())
        std::printf(
            "oximeter-sim: note: %s is cut short at byte %llu; playing its %llu whole "
            "records\n",
            o.capture_path.c_str(), static_cast<unsigned long long>(play.cut_at()),
            static_cast<unsigned long long>(records));
    const double span = last_us > start_us ? static_cast<double>(last_us - start_us) / 1e6 : 0;

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

    // The entry is put back as it was at the end (and by the next start of our
    // programs, should this one be killed).
    if (!o.map_path.empty()) {
        const std::string restored = platform::RestoreAbandonedMapEntry(o.map_path);
        if (!restored.empty()) std::printf("oximeter-sim: %s\n", restored.c_str());
        if (!platform::TakeMapEntry(o.map_path, slave_path, "oximeter-sim", &error)) {
            std::fprintf(stderr, "oximeter-sim: cannot map %s: %s\n", o.map_path.c_str(),
                         error.c_str());
            close(master);
            return 1;
        }
    }
    std::printf(
        "oximeter-sim: replay of %s: protocol %d, %llu bytes in %llu chunks over %.3f s, "
        "speed %g, on %s%s%s\n",
        o.capture_path.c_str(), protocol, static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(chunks), span, o.speed, slave_path.c_str(),
        o.map_path.empty() ? "" : " mapped as ", o.map_path.c_str());
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

    AnswerCheck check(recorded, opened_first);
    LinePacer pacer(LineBytesPerSecond(protocol));
    recordings::ReceivedChunks received(!opened_first);
    recordings::CaptureRecord chunk;
    size_t chunk_done = 0;  // bytes of `chunk` on the line
    bool have_chunk = false;
    uint64_t written = 0, timed = 0;
    double late_max = 0, late_sum = 0, last_byte_at = opened_at;
    bool closed = false;
    // Times are offsets from the start, as doubles: a gap of any length is a long
    // wait, never a negative one, and no wait is longer than a second.
    auto due_at = [&](uint64_t time_us) {
        if (o.speed == 0 || time_us <= start_us) return opened_at;
        return opened_at + static_cast<double>(time_us - start_us) / 1e6 / o.speed;
    };
    auto take_answers = [&](int wait_ms, bool want_out) {
        pollfd pf{master, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
        if (poll(&pf, 1, std::clamp(wait_ms, 0, 1000)) <= 0) return;
        if (pf.revents & POLLIN) {
            uint8_t buf[512];
            const ssize_t got = read(master, buf, sizeof buf);
            if (got > 0) check.Live(buf, static_cast<size_t>(got));
        }
        if (pf.revents & POLLHUP) closed = true;
    };
    while (!g_stop && !closed) {
        if (!have_chunk) {
            while (!have_chunk && play.NextRecord(&chunk))
                have_chunk = received.Take(chunk) && chunk.size > 0;
            if (!have_chunk) break;
            chunk_done = 0;
        }
        double now = Now();
        const double due = due_at(chunk.time_us);
        if (now < due) {
            take_answers(static_cast<int>(std::ceil((due - now) * 1000)), false);
            continue;
        }
        size_t n = chunk.size - chunk_done;
        if (o.speed == 0) n = pacer.Take(now, n);
        if (n > 0) {
            const ssize_t w = write(master, chunk.data + chunk_done, n);
            if (w > 0) {
                chunk_done += static_cast<size_t>(w);
                written += static_cast<uint64_t>(w);
                last_byte_at = Now();
            }
            if (w < static_cast<ssize_t>(n)) {
                take_answers(1000, true);  // the program reads slowly: wait for room
                continue;
            }
        }
        if (chunk_done == chunk.size) {
            have_chunk = false;
            chunk.size = 0;
            if (o.speed > 0) {
                const double late = last_byte_at - due;
                late_max = std::max(late_max, late);
                late_sum += late;
            }
            ++timed;
            continue;
        }
        // The pacer holds the rest back until the line has room for it.
        take_answers(static_cast<int>(
                         std::ceil((pacer.NextDue(Now(), chunk.size - chunk_done) - Now()) * 1000)),
                     false);
    }
    const double played = last_byte_at - opened_at;
    // The answers to the last frames may still be on their way: take them until the
    // program has been quiet for a while.
    const double drain_end = Now() + 10.0;
    double quiet_since = Now();
    while (!closed && !g_stop && Now() - quiet_since < 0.5 && Now() < drain_end) {
        pollfd pf{master, POLLIN, 0};
        if (poll(&pf, 1, 50) > 0) {
            std::vector<uint8_t> live;
            if (!(pf.revents & POLLIN) || !ReadAnswers(master, &live)) break;
            check.Live(live.data(), live.size());
            quiet_since = Now();
        }
    }
    // A program that closed may have left its last answers behind.
    for (std::vector<uint8_t> live; ReadAnswers(master, &live); live.clear())
        check.Live(live.data(), live.size());
    if (!o.map_path.empty()) {
        std::string message;
        if (!platform::GiveBackMapEntry(o.map_path, &message) || !message.empty())
            std::printf("oximeter-sim: %s\n", message.c_str());
    }
    if (closed)
        std::printf("oximeter-sim: the program closed the port after %llu of %llu bytes\n",
                    static_cast<unsigned long long>(written),
                    static_cast<unsigned long long>(bytes));
    else if (g_stop)
        std::printf(
            "oximeter-sim: stopped by signal %d (from process %d) after %llu of %llu "
            "bytes\n",
            static_cast<int>(g_stop), static_cast<int>(g_sender),
            static_cast<unsigned long long>(written), static_cast<unsigned long long>(bytes));
    std::printf("oximeter-sim: played %llu bytes in %llu chunks in %.3f s (recorded %.3f s)",
                static_cast<unsigned long long>(written), static_cast<unsigned long long>(timed),
                played, span);
    if (o.speed > 0 && timed > 0)
        std::printf(", chunks late by %.1f ms on average, at most %.1f ms",
                    late_sum / static_cast<double>(timed) * 1000, late_max * 1000);
    std::printf("\noximeter-sim: %s\n", check.Result(g_stop == 0).c_str());
    std::fflush(stdout);
    close(master);
    return skipped ? 3 : 0;
}

}  // namespace sim
