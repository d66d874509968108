// ECG beat detection on the 900 samples/s stream and the pairing of each beat
// with the next accepted plethysmogram pulse.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/text_log.h"
#include "processing/measurement.h"

namespace processing {

namespace {

constexpr double kEcgSampleMs = 1.1111111111111112;

inline int16_t ReadS16(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

}  // namespace

int16_t TruncToInt16(double x) {
    // Out of range or not finite: 0, the low half of the processor's "integer indefinite".
    if (!(x > -2147483649.0 && x < 2147483648.0)) return 0;
    return static_cast<int16_t>(static_cast<int32_t>(x));
}

double ParabolaVertex(double x1, double x2, double x3, double y1, double y2, double y3) {
    double d = x3 * (y2 - y1) + x2 * (y1 - y3) + x1 * (y3 - y2);
    if (std::fabs(d) < 1e-10) return 0.0;
    return -0.5 * (x3 * x3 * (y1 - y2) + x2 * x2 * (y3 - y1) + x1 * x1 * (y2 - y3)) / d;
}

int PutEKG18(Measurement& m, const uint8_t* samples) {
    EcgState& e = m.ecg;
    int16_t* z = e.z;
    std::memmove(&z[0], &z[18], 18 * sizeof(int16_t));
    for (int i = 0; i < 18; ++i) z[18 + i] = samples != nullptr ? ReadS16(samples + 2 * i) : z[17];

    if (e.c == 0) e.c = z[18];
    int32_t lo = z[18];
    int32_t hi = z[18];
    for (int i = 18; i < 36; ++i) {
        e.c = e.c + z[i] - (e.c >> 10);
        if (z[i] < lo) lo = z[i];
        if (z[i] > hi) hi = z[i];
    }
    int32_t aver = e.c >> 10;
    if (e.r == 0) {
        e.r = hi - lo;
    } else {
        e.r = e.r + hi - (e.r >> 6) - lo;
    }
    int32_t cut = aver - (e.r >> 6);
    int16_t cut16 = static_cast<int16_t>(cut);

    for (int i = 0; i < 18; ++i) {
        int k = 17 + i;
        if (!(z[k - 2] < cut16 && z[k - 1] < cut16 && z[k] < cut16 && z[k + 1] < cut16)) continue;
        // Stream index of z[k-2]; 32-bit wrap-around like the record counter.
        int32_t n = static_cast<int32_t>(18u * m.lSample - 21u + static_cast<uint32_t>(i));
        int64_t quiet = static_cast<int64_t>(n) - e.last_below;
        if (quiet > 20) {
            int16_t sAver = static_cast<int16_t>(aver);
            int16_t sAmpl = static_cast<int16_t>(aver - (z[k - 1] + z[k]) / 2);
            double t1 = static_cast<double>(sAver - z[k - 3]) / sAmpl;
            double t2 = static_cast<double>(sAver - z[k - 2]) / sAmpl;
            double t3 = static_cast<double>(sAver - z[k - 1]) / sAmpl;
            double f;
            if (t2 < 0.05) {
                f = 0.5;
            } else if (t2 > 0.95) {
                f = -0.5;
            } else if (t2 == t2) {
                f = 0.5 - (t2 - 0.05) * kEcgSampleMs;
            } else {
                f = 0.0;  // sAmpl = 0 and no slope: the beat is timed at its first sample
            }
            double beat_time = (n + f) * kEcgSampleMs;
            m.dumpPutEKG.Printf(
                "PutEKG18: lSample=%.1lf %i sAmpl=%i sAver=%i sCut=%i f12=%.2lf %.2lf %.2lf\n",
                beat_time, static_cast<int>(static_cast<uint32_t>(quiet)), sAmpl, sAver, cut16, t1,
                t2, t3);
            e.beat_time = beat_time;
            e.sAmpl = sAmpl;
            m.pulse_colour = RGB(0, 0, 0);
            e.beat_available = 1;
        }
        e.last_below = n;
    }
    return 0;
}

int GetEKG(Measurement& m, double amplitude) {
    EcgState& e = m.ecg;
    if (e.beat_available == 0) return -1;
    const float* sir = m.pleth.slope[kIR];
    const float* sred = m.pleth.slope[kRed];
    double c1 = ParabolaVertex(2, 3, 4, sir[4], sir[3], sir[2]);
    double c2 = ParabolaVertex(1, 3, 5, sir[5], sir[3], sir[1]);
    double c3 = ParabolaVertex(2, 3, 4, sred[4], sred[3], sred[2]);
    double c4 = ParabolaVertex(1, 3, 5, sred[5], sred[3], sred[1]);
    double T1 = (c1 - 14) * 20 + 9.444;
    double T2 = (c2 - 14) * 20 + 9.444;
    double T3 = (c3 - 14) * 20 + 10.556;
    double T4 = (c4 - 14) * 20 + 10.556;
    double d0 = (T1 + T2 + T3 + T4) * 0.25 + static_cast<double>(m.lSample) * 20 - e.beat_time;

    const uint16_t* x = m.pleth.window[kIR].w;
    const uint16_t* y = m.pleth.window[kRed].w;
    double dRiseTimeAv =
        (static_cast<double>(y[2] - y[8]) * 40 / static_cast<double>(y[4] - y[6]) +
         static_cast<double>(x[2] - x[8]) * 40 / static_cast<double>(x[4] - x[6])) *
        0.5;
    int16_t s0 = TruncToInt16(27280 / d0);
    int16_t s1 = TruncToInt16(27280 / (d0 + dRiseTimeAv * 0.5));
    int16_t s2 = TruncToInt16(27280 / (d0 - dRiseTimeAv * 0.5));

    char line[256];
    platform::FormatLogLine(
        line, sizeof(line),
        "GetEKG: lSample=%.1lf d0=%.1lf dRiseTimeAv=%.1lf dAmpl=%.2lf s0=%i s1=%i s2=%i\n",
        e.beat_time, d0, dRiseTimeAv, amplitude, s0, s1, s2);
    platform::OutputDebugString(line);
    m.dumpGetEKG.WriteLine(line);
    e.beat_available = 0;
    return 0;
}

}  // namespace processing
