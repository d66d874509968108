// Per-sample plethysmogram analysis: normalisation, block-floating-point windows,
// slope histories, pulse detection and the pulse ring.
#include <bit>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/text_log.h"
#include "processing/measurement.h"

namespace processing {

namespace {

// Signal level of an ADC value; values above full scale carry no light.
inline uint32_t Level(uint16_t s) { return s < 32760 ? 32760u - s : 0u; }

template <typename T, size_t N>
inline void Push(T (&history)[N], T value) {
    std::memmove(&history[1], &history[0], (N - 1) * sizeof(T));
    history[0] = value;
}

// Relative depth (outer - inner) / (outer + inner); 0 for an all-zero window part.
inline double Depth(long outer, long inner) {
    long sum = outer + inner;
    return sum != 0 ? static_cast<double>(outer - inner) / static_cast<double>(sum) : 0.0;
}

void DiagnosticDetector(PlethState& p) {
    double q[2][3];
    for (int c = 0; c < 2; ++c) {
        const uint16_t* w = p.window[c].w;
        long inner2 = long(w[6]) + w[7] + w[8] + w[9];
        q[c][0] = Depth(long(w[4]) + w[11], long(w[7]) + w[8]);
        q[c][1] = Depth(long(w[2]) + w[3] + w[12] + w[13], inner2);
        q[c][2] = Depth(long(w[0]) + w[1] + w[14] + w[15], inner2);
    }
    int i0 = p.diag_index;
    for (int j = 0; j < 3; ++j) {
        if (q[kIR][j] == 0.0) {
            p.diag_r[i0][j] = 0.0;
            p.diag_a[i0][j] = 0.0;
        } else {
            p.diag_r[i0][j] = q[kRed][j] / q[kIR][j];
            p.diag_a[i0][j] = q[kRed][j] + q[kIR][j];
        }
    }
    auto at = [&](int back) { return (i0 - back + kDiagRing) % kDiagRing; };
    auto T = [&](int i) { return -(p.diag_a[i][0] + p.diag_a[i][1] + p.diag_a[i][2]); };
    int i2 = at(2);
    double t2 = T(i2);
    if (t2 >= 0.001 && t2 > T(at(0)) && t2 > T(at(1)) && t2 > T(at(3)) && t2 > T(at(4))) {
        const double* r = p.diag_r[i2];
        const double* a = p.diag_a[i2];
        double median = 0.0;
        if (r[0] == r[0] && r[1] == r[1] && r[2] == r[2]) {
            double lo = r[0] < r[1] ? r[0] : r[1];
            double hi = r[0] < r[1] ? r[1] : r[0];
            median = r[2] < lo ? lo : (r[2] > hi ? hi : r[2]);
        }
        double shape = a[2] != 0.0 ? a[0] / a[2] : 0.0;
        platform::DebugPrintf(
            "Max PGSample=%li Ampl=%.2lf %.2lf %.2lf ROxi=%.3lf %.3lf %.3lf  -> %.3lf "
            "Shape=%.3lf\n",
            static_cast<long>(p.PGSample), 100 * a[0], 100 * a[1], 100 * a[2], r[0], r[1], r[2],
            median, shape);
    }
    p.diag_index = (i0 + 1) % kDiagRing;
}

}  // namespace

NormFactor SplitFactor(float f) {
    NormFactor nf;
    if (!(f > 0.0f) || f > 3.0e38f) return nf;  // no light (or no gain): factor 0
    uint32_t bits = std::bit_cast<uint32_t>(f);
    int exponent = static_cast<int>((bits >> 23) & 0xFF) - 127;
    nf.e = static_cast<uint8_t>(exponent - 1);
    nf.m = static_cast<uint16_t>(0x8000u | ((bits & 0x7FFFFFu) >> 8));
    return nf;
}

void UpdateNormFactors(Measurement& m, uint8_t gain, uint8_t led_ir, uint8_t led_red,
                       uint8_t led_red2) {
    PlethState& p = m.pleth;
    if (p.raw[0] == gain && p.raw[1] == led_ir && p.raw[2] == led_red && p.raw[3] == led_red2)
        return;
    float x = 255.0f - static_cast<float>(gain);
    const uint8_t leds[kChannels] = {led_ir, led_red, led_red2};
    for (int c = 0; c < kChannels; ++c) {
        float led = 255.0f - static_cast<float>(leds[c]);
        // An LED byte of 255 means the LED is off: its channel is treated as dark.
        p.factor[c] = led > 0.0f ? SplitFactor(x / led) : NormFactor{};
    }
    p.raw[0] = gain;
    p.raw[1] = led_ir;
    p.raw[2] = led_red;
    p.raw[3] = led_red2;
}

int RenormWindow(uint16_t (&w)[17], uint32_t n) {
    int shift = 0;
    if (n >= (1u << 20)) {
        // Beyond the table: shift as far as needed so that the new word still fits.
        shift = 32 - std::countl_zero(n) - 16;
    } else if (n & (1u << 19)) {
        shift = 4;
    } else if (n & (1u << 18)) {
        shift = 3;
    } else if (n & (1u << 17)) {
        shift = 2;
    } else if (n & (1u << 16)) {
        shift = 1;
    }
    if (shift > 0) {
        w[16] = static_cast<uint16_t>(n >> shift);
        for (int i = 0; i < 16; ++i) w[i] = static_cast<uint16_t>(w[i] >> shift);
        return -shift;
    }
    w[16] = static_cast<uint16_t>(n);
    uint16_t any = 0;
    for (int i = 0; i < 17; ++i) any |= w[i];
    if (any & 0x8000u) return 0;
    for (int i = 0; i < 17; ++i) w[i] = static_cast<uint16_t>(w[i] << 1);
    return 1;
}

void WLPutSample17(Measurement& m, uint16_t sIR, uint16_t sRed, uint16_t sOra) {
    PlethState& p = m.pleth;
    p.PGSample += 6;
    const uint16_t s[kChannels] = {sIR, sRed, sOra};
    for (int c = 0; c < kChannels; ++c) {
        SampleWindow& win = p.window[c];
        std::memmove(&win.w[0], &win.w[1], 16 * sizeof(uint16_t));
        uint32_t product = Level(s[c]) * p.factor[c].m;
        unsigned k = static_cast<uint8_t>(p.factor[c].e + win.b);
        // Bits 16..47 of product * 2^k: beyond 47 shifts nothing is left.
        uint32_t n =
            k < 48 ? static_cast<uint32_t>((static_cast<uint64_t>(product) << k) >> 16) : 0u;
        int delta = RenormWindow(win.w, n);
        win.b = static_cast<uint8_t>(win.b + delta);
    }
    for (int c = 0; c < kChannels; ++c) {
        const uint16_t* w = p.window[c].w;
        p.L[c] = uint32_t(w[4]) + w[5];
        p.R[c] = uint32_t(w[9]) + w[10];
    }
    DiagnosticDetector(p);
    const uint16_t* ir = p.window[kIR].w;
    const uint16_t* red = p.window[kRed].w;
    uint16_t edge = static_cast<uint16_t>((ir[7] - ir[9]) + (red[7] - red[9]));
    Push(p.v, static_cast<int16_t>(edge));
    FindPulseMax(m);
}

void FindPulseMax(Measurement& m) {
    PlethState& p = m.pleth;
    for (int c = 0; c < kChannels; ++c) {
        uint32_t sum = p.L[c] + p.R[c];
        float slope = 0.0f;
        if (sum != 0) {
            slope =
                static_cast<float>(static_cast<int32_t>(p.L[c]) - static_cast<int32_t>(p.R[c])) /
                static_cast<float>(sum);
            if (slope < 0.0f) slope = 0.0f;
        }
        Push(p.slope[c], slope);
    }
    Push(p.u, p.slope[kIR][0] + p.slope[kRed][0]);
    Push(p.d,
         static_cast<float>((static_cast<int32_t>(p.L[kIR]) - static_cast<int32_t>(p.R[kIR])) +
                            (static_cast<int32_t>(p.L[kRed]) - static_cast<int32_t>(p.R[kRed]))));
    if (p.warmup < 7) {
        ++p.warmup;
        return;
    }
    const float* u = p.u;
    const float* sir = p.slope[kIR];
    const float* sred = p.slope[kRed];
    const float* sred2 = p.slope[kRed2];
    if (!(sir[3] > 0.0f && sred[3] > 0.0f && u[6] < u[5] && u[5] < u[4] && u[4] < u[3] &&
          u[3] > u[2] && u[2] > u[1] && u[1] > u[0]))
        return;

    // A full ring overwrites its oldest entry, so detection goes on for the whole run.
    int k = p.write_index;
    PulseEntry& e = p.ring[k];
    e.ir = sir[3] - sir[12];
    e.red = sred[3] - sred[12];
    e.red2 = sred2[3] - sred2[12];
    float p1 = u[3] - u[4];
    float p2 = u[3] - u[2];
    if (u[4] < u[2]) {
        e.position = p.PGSample + static_cast<uint32_t>(static_cast<int>((1 - p2 / p1) * 3 + 0.5));
    } else {
        e.position = p.PGSample - static_cast<uint32_t>(static_cast<int>((1 - p1 / p2) * 3 + 0.5));
    }
    int16_t vmax = p.v[3];
    for (int i = 4; i <= 7; ++i)
        if (p.v[i] > vmax) vmax = p.v[i];
    e.rise = vmax > 0 ? p.d[3] / static_cast<float>(vmax) : 0.0f;

    p.write_index = (k + 1) % kPulseRing;
    if (p.count < kPulseRing) {
        ++p.count;
    } else {
        p.start_index = p.write_index;
    }
    EvalCMMaxima(m);

    char line[256];
    const int len = platform::FormatLogLine(
        line, sizeof(line),
        "\nNew Max: at %i Sample=%i IR=%f Red=%f Rise=%f CMAmplitude=%f CMROxi=%f CMRHbCO=%f\n", k,
        static_cast<int>(e.position), e.ir, e.red, e.rise, p.CMAmplitude, p.CMROxi, p.CMRHbCO);
    // A cut line (huge values) keeps its line end, in the debug output and the log.
    if (len >= static_cast<int>(sizeof(line))) line[sizeof(line) - 2] = '\n';
    platform::OutputDebugString(line);
    m.maxima.WriteLine(line);

    if (m.lower < u[3] && u[3] < m.upper) {
        m.pulse_colour = RGB(0, 128, 0);
        GetEKG(m, u[3] * 107.0);
    }
}

void EvalCMMaxima(Measurement& m) {
    PlethState& p = m.pleth;
    int j = (p.write_index + kPulseRing - 1) % kPulseRing;
    const PulseEntry& newest = p.ring[j];
    double cur = static_cast<double>(newest.ir + newest.red);
    double best = cur;
    // Single-precision quotients, widened only when stored: the logs show float ratios.
    // A zero amplitude gives inf or nan in the logs, which says "no ratio" plainly.
    auto ratio = [](float a, float b) { return static_cast<double>(a / b); };
    double bestR = ratio(newest.red, newest.ir);
    double h = ratio(newest.red2, newest.red);
    uint32_t pos = newest.position;
    uint32_t oldest_allowed = pos - 300u;
    for (int n = 1; n < p.count && j != p.start_index; ++n) {
        j = (j + kPulseRing - 1) % kPulseRing;
        const PulseEntry& e = p.ring[j];
        if (e.position < oldest_allowed) break;
        double sum = static_cast<double>(e.ir + e.red);
        if (sum > best) {
            best = sum;
            bestR = ratio(e.red, e.ir);
        }
    }
    if (0.7 * best < cur && cur < 1.3 * best) {
        uint32_t interval = pos - p.last_cm_position;
        double rate = interval != 0 ? 18000.0 / static_cast<double>(interval) : 0.0;
        m.cm_maxima.Printf("CM %i %.5lf %.2lf %.2lf\n", static_cast<int>(pos), best, bestR, rate);
        p.last_cm_position = pos;
    }
    p.CMAmplitude = cur * 1.07;
    p.CMROxi = bestR;
    p.CMRHbCO = h;
}

}  // namespace processing
