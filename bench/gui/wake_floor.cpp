// Bare wake-ups: one thread per rate given, each sleeping and waking that many times a
// second and doing nothing else, until killed. What the scheduler counts for it is what
// the machine charges for waking that often, the floor under any program's CPU share
// at those rates (per_record.sh measures it beside the program, in the same sitting).
//
//   wake_floor RATE [RATE ...]     wake-ups a second, per thread (decimals allowed)
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

void Wake(double per_second) {
    const long long step = static_cast<long long>(1e9 / per_second);
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    for (;;) {
        // Absolute times: the rate holds however long a wake-up takes.
        const long long ns = at.tv_nsec + step;
        at.tv_sec += static_cast<time_t>(ns / 1000000000);
        at.tv_nsec = static_cast<long>(ns % 1000000000);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> rates;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        const double rate = std::strtod(argv[i], &end);
        if (end == argv[i] || *end != '\0' || !(rate > 0 && rate <= 100000)) {
            std::fprintf(stderr, "wake_floor: not a rate (wake-ups a second): %s\n", argv[i]);
            return 2;
        }
        rates.push_back(rate);
    }
    if (rates.empty()) {
        std::fprintf(stderr, "usage: wake_floor RATE [RATE ...]\n");
        return 2;
    }
    std::vector<std::thread> threads;
    for (const double rate : rates) threads.emplace_back(Wake, rate);
    for (std::thread& t : threads) t.join();
}
