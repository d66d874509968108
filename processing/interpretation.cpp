// Interpretation of the framed protocols' records and of the reduced protocol.
#include "processing/interpretation.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/debug_output.h"
#include "platform/text_log.h"
#include "platform/tick.h"
#include "processing/fixed_format.h"
#include "processing/measurement.h"

namespace processing {

namespace {

inline uint16_t U16(const uint8_t* p, int offset) {
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}
inline int16_t S16(const uint8_t* p, int offset) { return static_cast<int16_t>(U16(p, offset)); }

// The logs' formatter: printf's text in the "C" locale, without its floating-point cost.
void Show(IMeasurementView* view, int field, const char* format, double value) {
    char text[64];
    platform::FormatLogLine(text, sizeof(text), format, value);
    view->SetFieldText(field, text);
}

void ShowInt(IMeasurementView* view, int field, int value) {
    char text[16];
    platform::FormatLogLine(text, sizeof(text), "%i", value);
    view->SetFieldText(field, text);
}

// The result block's integers, shown as k x 0.1 etc. with the matching decimals.
void ShowScaled(IMeasurementView* view, int field, uint32_t value, int decimals) {
    char text[16];
    FormatScaled(text, value, decimals);
    view->SetFieldText(field, text);
}

const char* StatusWord(unsigned status) {
    switch (status) {
        case 0:
            return "OK";
        case 1:
            return "Sensor?";
        case 2:
            return "Finger?";
        case 3:
            return "Perfusion?";
        case 69:
            return "Selftest?";
        default:
            return nullptr;
    }
}

void DecodeCommonBlock(CurrentSample& s, const uint8_t* p) {
    s.sample_number = S16(p, 0);
    s.sIR = U16(p, 2);
    s.sIR2 = S16(p, 4);
    s.sCurIR = S16(p, 6);
    s.sRed = U16(p, 8);
    s.sRed2 = S16(p, 10);
    s.sCurRed = S16(p, 12);
    s.sOra = U16(p, 14);
    s.sOra2 = S16(p, 16);
    s.sCurOra = S16(p, 18);
    s.sRSens = S16(p, 20);
    s.sAmbient = S16(p, 22);
    s.sGener = S16(p, 24);
    s.sTemp = S16(p, 26);
    s.sLEDIR = p[28];
    s.sLEDRed = p[29];
    s.sLEDOra = p[30];
    s.sGain = p[31];
    s.event_flags = p[32];
    s.spare = p[33];
}

void DecodeResultBlock(ResultBlock& r, const uint8_t* p, int e) {
    r.status = p[e + 34];
    r.HCPerf2 = U16(p, e + 36);
    r.HCPerf = U16(p, e + 38);
    r.HCPuls = U16(p, e + 40);
    r.HCRise = U16(p, e + 42);
    r.HCJitter = U16(p, e + 44);
    r.HCSPO2 = U16(p, e + 46);
    r.HCHBCO = U16(p, e + 48);
}

void WriteRawSampleLine(Measurement& m) {
    const CurrentSample& s = m.sample;
    m.fTxtLog.Printf("%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\t%i\n",
                     static_cast<int>(m.lSample), s.sIR, s.sIR2, s.sCurIR, 255 - s.sLEDIR, s.sRed,
                     s.sRed2, s.sCurRed, 255 - s.sLEDRed, s.sOra, s.sOra2, s.sCurOra,
                     255 - s.sLEDOra, s.sGain);
}

void ResultDisplay(Measurement& m, IMeasurementView* view, uint32_t tick) {
    const ResultBlock& r = m.result;
    const char* word = StatusWord(r.status);
    view->SetFieldText(StatusText, word != nullptr ? word : "undefined");
    ShowScaled(view, Perfusion_Red, r.HCPerf2, 0);
    ShowScaled(view, Perfusion_IR, r.HCPerf, 2);
    if (r.HCPerf < 10) {
        for (int f : {Pulse, Spo2, RHbCO, Rise, Jitter}) view->SetFieldText(f, "Perfus?");
    } else {
        ShowScaled(view, Pulse, r.HCPuls, 1);
        ShowScaled(view, Spo2, r.HCSPO2, 1);
        ShowScaled(view, RHbCO, r.HCHBCO, 1);
        ShowScaled(view, Rise, r.HCRise, 1);
        ShowScaled(view, Jitter, r.HCJitter, 0);
    }
    if (!m.Logging()) return;
    m.fTxtLog2.Printf("%li\t%.1lf\t%.1lf\t%.1lf\t%.1lf\t%.0lf\t%.2lf\n", static_cast<long>(tick),
                      r.HCPuls * 0.1, r.HCSPO2 * 0.1, r.HCHBCO * 0.1, r.HCRise * 0.1,
                      static_cast<double>(r.HCJitter), r.HCPerf * 0.01);
}

void Red2PresenceCheck(Measurement& m, LinkInterpretation& st, IMeasurementView* view) {
    double a = m.sample.sCurOra * Measurement::dLEDMeasScale;
    double b = (255 - m.sample.sLEDOra) * m.dLEDSetScale;
    if (a < 1.1 * b && b < 1.1 * a) {
        st.red2_mode = 2;
        return;
    }
    if (st.red2_mode == 1) return;
    st.red2_mode = 1;
    st.last_led[2] = -1;
    if (view != nullptr) {
        for (int f : {Adc_Red2, AdcSig_Red2, Sensor_Red2, Rms_Red2}) view->SetFieldText(f, "-");
    }
    st.rms_mean[2] = 0.0;
    st.rms_var[2] = 0.0;
}

void RmsUpdate(Measurement& m, LinkInterpretation& st, IMeasurementView* view) {
    const CurrentSample& s = m.sample;
    const double level[3] = {32760.0 - s.sIR, 32760.0 - s.sRed, 32760.0 - s.sOra};
    const bool red2 = st.red2_mode == 2;
    double dev[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
        if (c == 2 && !red2) break;
        st.rms_mean[c] = 0.99 * st.rms_mean[c] + 0.010000000000000009 * level[c];
        dev[c] = (level[c] - st.rms_mean[c]) / st.rms_mean[c];
    }
    if (std::fabs(dev[0]) < 0.2 && std::fabs(dev[1]) < 0.2 && std::fabs(dev[2]) < 0.2) {
        for (int c = 0; c < 3; ++c)
            st.rms_var[c] = 0.997 * st.rms_var[c] + 0.0030000000000000027 * dev[c] * dev[c];
    }
    if (st.divider == 0 && view != nullptr) {
        Show(view, Rms_IR, "%.3lg", std::sqrt(st.rms_var[0]) * 100);
        Show(view, Rms_Red, "%.3lg", std::sqrt(st.rms_var[1]) * 100);
        if (red2) Show(view, Rms_Red2, "%.3lg", std::sqrt(st.rms_var[2]) * 100);
    }
}

void LedAndGainDisplay(Measurement& m, LinkInterpretation& st, IMeasurementView* view) {
    const CurrentSample& s = m.sample;
    const uint8_t bytes[3] = {s.sLEDIR, s.sLEDRed, s.sLEDOra};
    bool written = false;
    for (int c = 0; c < 3; ++c) {
        int16_t setting = static_cast<int16_t>(255 - bytes[c]);
        if (setting != st.last_led[c]) {
            st.last_led[c] = setting;
            Show(view, LedS_IR + c, "%.2lf", setting * m.dLEDSetScale);
            written = true;
        }
    }
    if (s.sGain != st.last_gain) {
        st.last_gain = s.sGain;
        Show(view, GainI, "%.3lf", 84.15 / (255 - s.sGain));
        st.highlight = 5;
    } else if (written) {
        st.highlight = 5;
    } else if (st.highlight > 0) {
        --st.highlight;
    }
}

void SensorSensitivity(Measurement& m, const LinkInterpretation& st) {
    const CurrentSample& s = m.sample;
    const double g = 84.15 / (255 - s.sGain);
    auto update = [&](double& sens, uint16_t adc, uint8_t led) {
        double denominator = (255 - led) * m.dLEDSetScale * g;
        // An LED that is off (or no gain) gives no estimate: keep the last one.
        if (denominator == 0.0 || !std::isfinite(denominator)) return;
        sens = 0.98 * sens + (32760 - adc) * Measurement::dADCScale * 0.02 / denominator;
    };
    update(m.dSensIR, s.sIR, s.sLEDIR);
    update(m.dSensRed, s.sRed, s.sLEDRed);
    if (st.red2_mode == 2) update(m.dSensRed2, s.sOra, s.sLEDOra);
}

void PeriodicDisplay(Measurement& m, const LinkInterpretation& st, IMeasurementView* view) {
    const CurrentSample& s = m.sample;
    const bool red2 = st.red2_mode == 2;
    Show(view, LedM_IR, "%.2lf", s.sCurIR * Measurement::dLEDMeasScale);
    Show(view, LedM_Red, "%.2lf", s.sCurRed * Measurement::dLEDMeasScale);
    Show(view, LedM_Red2, "%.2lf", s.sCurOra * Measurement::dLEDMeasScale);
    Show(view, Adc_IR, "%.2lf", (32760 - s.sIR) * Measurement::dADCScale);
    Show(view, Adc_Red, "%.2lf", (32760 - s.sRed) * Measurement::dADCScale);
    if (red2) Show(view, Adc_Red2, "%.2lf", (32760 - s.sOra) * Measurement::dADCScale);
    Show(view, AdcSig_IR, "%.3lf", s.sIR2 * Measurement::dADCScale * 4);
    Show(view, AdcSig_Red, "%.3lf", s.sRed2 * Measurement::dADCScale * 4);
    if (red2) Show(view, AdcSig_Red2, "%.3lf", s.sOra2 * Measurement::dADCScale * 4);
    Show(view, Sensor_IR, "%.4lf", m.dSensIR);
    Show(view, Sensor_Red, "%.4lf", m.dSensRed);
    if (red2) Show(view, Sensor_Red2, "%.4lf", m.dSensRed2);
    if (s.sRSens >= 3000) {
        view->SetFieldText(RSens, "");
    } else {
        Show(view, RSens, "%.2lf", s.sRSens * 47.5 / (4090 - s.sRSens) - 1);
    }
    Show(view, Ambient, "%.0lf", (4095 - s.sAmbient) * 100 * 0.0002442002442002442);
    Show(view, Gener, "%.3lf", s.sGener * 0.0006105006105006105);
    Show(view, Temp, "%.1lf", (s.sTemp * 0.0006105006105006105 - 0.986) * 281.6901408450704);
    char time_text[22];
    std::time_t now =
        st.shown_time >= 0 ? static_cast<std::time_t>(st.shown_time) : std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr &&
        std::strftime(time_text, sizeof(time_text), "%Y-%m-%d %H:%M:%S", &local) > 0) {
        view->SetFieldText(TimeText, time_text);
    }
}

void TrendUpdate(Measurement& m, LinkInterpretation& st, IMeasurementView* view) {
    const CurrentSample& s = m.sample;
    uint16_t adc = s.sIR;
    uint8_t led = s.sLEDIR;
    if (st.trend_channel == 2) {
        adc = s.sRed;
        led = s.sLEDRed;
    } else if (st.trend_channel == 3) {
        adc = s.sOra;
        led = s.sLEDOra;
    }
    // An LED that is off carries no level.
    double d = led != 255 ? static_cast<double>(32760 - adc) * (255 - s.sGain) / (255 - led) : 0.0;
    double& mean = st.trend_mean;
    double& scale = st.trend_scale;
    if (mean == 0) {
        mean = d;
    } else {
        mean = mean + (d - mean) * 0.02;
    }
    double g;
    if (1.2 * d < mean) {
        mean = 1.2 * d;
        scale = 600;
        g = 119;
        st.trend_hold = 100;
    } else if (0.8 * d > mean) {
        mean = 0.8 * d;
        scale = 600;
        g = -120;
        st.trend_hold = 100;
    } else {
        g = (mean - d) / mean * scale;
        if (g >= -60 && g <= 60) {
            if (st.trend_hold > 0) --st.trend_hold;
        } else {
            st.trend_hold = 100;
        }
    }
    if (st.trend_hold == 0 && scale < 30000) {
        scale = scale * 1.05;
        st.trend_hold = 10;
    }
    if (g < -120) {
        scale = scale * (-120 / g);
        g = -120;
    } else if (g > 119) {
        scale = scale * (119 / g);
        g = 119;
    } else if (g < -90 || g > 90) {
        scale = scale * 0.95;
    }
    // A level of exactly 0 (mean 0) has no deviation: draw the centre line.
    if (!(g >= -120 && g <= 119)) g = 0;
    Colour colour = st.highlight > 0 ? RGB(255, 0, 0) : m.pulse_colour;
    view->AppendSample(static_cast<uint8_t>(static_cast<int>(g + 120)), colour);
}

}  // namespace

void LinkInterpretation::ResetForDisplay() {
    red2_mode = 0;
    for (auto& l : last_led) l = -1;
    last_gain = -1;
    highlight = 0;
    divider = 0;
    for (int c = 0; c < 3; ++c) {
        rms_mean[c] = 0.0;
        rms_var[c] = 0.0;
    }
    ResetTrend();
}

void LinkInterpretation::ResetTrend() {
    trend_mean = 0.0;
    trend_scale = 600.0;
    trend_hold = 0;
}

void InterpretRecord(Measurement& m, LinkInterpretation& st, uint8_t type, const uint8_t* p,
                     int length, IMeasurementView* view) {
    InterpretRecord(m, st, type, p, length, view, platform::GetTickCount());
}

void InterpretRecord(Measurement& m, LinkInterpretation& st, uint8_t type, const uint8_t* p,
                     int length, IMeasurementView* view, uint32_t tick) {
    // Without a whole common block there is no measurement: not counted, not used.
    if (length < kCommonBlockLength) {
        platform::DebugPrintf("*** InterpretRecord: type %i length %i, record skipped\n", type,
                              length);
        return;
    }
    ++m.lSample;
    DecodeCommonBlock(m.sample, p);
    m.SetEventByte(m.sample.event_flags);

    int e = 0;
    const bool ecg = length == 70 || length == 86;
    m.NotifySample(ecg ? p + 34 : nullptr);
    if (ecg) {
        PutEKG18(m, p + 34);
        e = 36;
    }
    if (type == 19 && length >= e + 44) {
        m.dumpWL1617.Printf("WL16/17\t%i\t%i\t%i\t%i\t%i\n", static_cast<int>(m.lSample),
                            U16(p, e + 36), U16(p, e + 38), U16(p, e + 40), U16(p, e + 42));
    }
    const bool result = type == 36 && length >= e + 50;
    if (result) {
        DecodeResultBlock(m.result, p, e);
        m.lower = static_cast<float>(m.result.HCPerf * 0.00005);
        m.upper = static_cast<float>(m.result.HCPerf * 0.0002);
    }
    const CurrentSample& s = m.sample;
    UpdateNormFactors(m, s.sGain, s.sLEDIR, s.sLEDRed, s.sLEDOra);
    WLPutSample17(m, s.sIR, s.sRed, s.sOra);
    if (m.Logging()) WriteRawSampleLine(m);
    Red2PresenceCheck(m, st, view);
    if (view != nullptr && result) ResultDisplay(m, view, tick);
    RmsUpdate(m, st, view);
    m.dLEDSetScale = 0.99 * m.dLEDSetScale + s.sGener * 2.5 * 4.3529455294161177e-07;
    if (view != nullptr) {
        LedAndGainDisplay(m, st, view);
    } else if (st.highlight > 0) {
        --st.highlight;
    }
    SensorSensitivity(m, st);
    ++st.divider;
    if (st.divider > 25 && view != nullptr) {
        st.divider = 0;
        PeriodicDisplay(m, st, view);
    }
    if (view != nullptr) TrendUpdate(m, st, view);
}

void ReducedInterpreter::OnRecord(uint8_t code, uint8_t value, IMeasurementView* view,
                                  bool heartbeat) {
    if (view == nullptr) return;
    switch (code) {
        case 0xF8: {
            view->AppendSample(value, RGB(0, 0, 0));
            uint32_t now = use_recorded_tick_ ? recorded_tick_ : platform::GetTickCount();
            if (!adc_tick_set_ || static_cast<int32_t>(now - next_adc_tick_) >= 0) {
                char text[8];
                std::snprintf(text, sizeof(text), "0x%02X", value);
                view->SetFieldText(Adc_IR, text);
                next_adc_tick_ = now + 500;
                adc_tick_set_ = true;
            }
            break;
        }
        case 0xF9:
            if (value > 50) {
                view->AppendSample(static_cast<uint8_t>((value + 78) * 2 % 256), RGB(0, 0, 0));
            } else {
                view->AppendSample(0, RGB(255, 0, 0));
            }
            if (value != last_spo2_) {
                last_spo2_ = value;
                ShowInt(view, Spo2, value);
            }
            if (heartbeat) view->PlaySoundAsync("Ding.wav");
            break;
        case 0xFA:
            view->AppendPulseTrend(value > 0 ? static_cast<uint8_t>((value + 100) % 256) : 101);
            if (value != last_pulse_) {
                last_pulse_ = value;
                ShowInt(view, Pulse, value);
            }
            break;
        case 0xFB: {
            const char* word = StatusWord(value);
            if (word != nullptr) view->SetFieldText(StatusText, word);
            break;
        }
        case 0xFC:
            if (value != last_perf2_) {
                last_perf2_ = value;
                ShowInt(view, Perfusion_Red, value);
            }
            break;
        default:
            break;
    }
}

}  // namespace processing
