#include "recordings/synthetic_pleth.h"

namespace recordings {

CSyntheticPleth::CSyntheticPleth(const SyntheticPlethSettings& settings)
    : s_(settings), state_(settings.seed) {
    if (s_.period < 2) s_.period = 2;
    if (s_.noise < 0) s_.noise = 0;
}

uint32_t CSyntheticPleth::Random() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
}

int32_t CSyntheticPleth::Next() {
    const int64_t period = s_.period;
    const int64_t beat = n_ / period;
    const int64_t u = (n_ % period) * 1024 / period;  // phase in 0 .. 1023
    const int64_t a =
        beat % 2 == 1 ? int64_t{s_.amplitude} * s_.second_beat_percent / 100 : s_.amplitude;
    int64_t v;
    if (u < 256) {
        v = a * u * u / (256 * 256);
    } else {
        const int64_t w = 1023 - u;  // 767 .. 0
        v = a * w * w / (767 * 767);
        if (u >= 450 && u < 650) {  // dicrotic bump
            const int64_t t = u < 550 ? u - 450 : 650 - u;
            v += a * t / 800;
        }
    }
    int64_t drift = 0;
    if (s_.drift != 0) {
        const int64_t t = n_ % 2000;
        drift = (t < 1000 ? t : 2000 - t) * s_.drift / 1000;
    }
    int64_t noise = 0;
    if (s_.noise > 0) noise = static_cast<int64_t>(Random() % (2u * s_.noise + 1)) - s_.noise;
    ++n_;
    return static_cast<int32_t>(s_.baseline + drift + v + noise);
}

}  // namespace recordings
