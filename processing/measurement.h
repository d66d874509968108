// Process-wide measurement state: the scales and estimates of the packet
// interpretation, the current sample, the plethysmogram and ECG algorithms and
// their log files. The app creates exactly one; tests make their own. Nothing in
// here allocates per sample: every array is fixed-size and log paths are built once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/colour.h"
#include "platform/text_log.h"

namespace processing {

// The decoded common block of the latest record (bytes 0..33).
struct CurrentSample {
    int16_t sample_number = 0;
    uint16_t sIR = 0;
    int16_t sIR2 = 0;
    int16_t sCurIR = 0;
    uint16_t sRed = 0;
    int16_t sRed2 = 0;
    int16_t sCurRed = 0;
    uint16_t sOra = 0;
    int16_t sOra2 = 0;
    int16_t sCurOra = 0;
    int16_t sRSens = 0;
    int16_t sAmbient = 0;
    int16_t sGener = 0;
    int16_t sTemp = 0;
    uint8_t sLEDIR = 0;  // raw bytes as received; the setting is 255 - byte
    uint8_t sLEDRed = 0;
    uint8_t sLEDOra = 0;
    uint8_t sGain = 0;
    uint8_t event_flags = 0;
    uint8_t spare = 0;
};

// The result block of the latest type-36 record.
struct ResultBlock {
    uint16_t status = 0;
    uint16_t HCPerf2 = 0;
    uint16_t HCPerf = 0;
    uint16_t HCPuls = 0;
    uint16_t HCRise = 0;
    uint16_t HCJitter = 0;
    uint16_t HCSPO2 = 0;
    uint16_t HCHBCO = 0;
};

enum Channel : int { kIR = 0, kRed = 1, kRed2 = 2, kChannels = 3 };

// Normalisation factor F ~ m / 2^15 * 2^(e + 1), e read as a signed byte.
struct NormFactor {
    uint8_t e = 0;
    uint16_t m = 0;
};

// 17 words, oldest first, sharing one block exponent b.
struct SampleWindow {
    uint16_t w[17] = {};
    uint8_t b = 0;
};

struct PulseEntry {
    float ir = 0;
    float red = 0;
    float red2 = 0;
    float rise = 0;
    uint32_t position = 0;
};

constexpr int kPulseRing = 32;
constexpr int kSlopeHistory = 13;
constexpr int kDiagRing = 9;

struct PlethState {
    NormFactor factor[kChannels];
    uint8_t raw[4] = {};  // gain, IR LED, Red LED, Red2 LED of the last update
    SampleWindow window[kChannels];
    uint32_t L[kChannels] = {};
    uint32_t R[kChannels] = {};
    float slope[kChannels][kSlopeHistory] = {};  // S(0) newest
    float u[7] = {};
    int16_t v[8] = {};
    float d[4] = {};

    PulseEntry ring[kPulseRing];
    int write_index = 0;
    int start_index = 0;  // the oldest entry once the ring has filled
    int count = 0;

    uint32_t PGSample = 0;
    int16_t warmup = 0;
    uint32_t last_cm_position = 0;
    double CMAmplitude = 0;
    double CMROxi = 0;
    double CMRHbCO = 0;

    double diag_r[kDiagRing][3] = {};
    double diag_a[kDiagRing][3] = {};
    int diag_index = 0;
};

struct EcgState {
    int16_t z[36] = {};
    int32_t c = 0;
    int32_t r = 0;
    int32_t last_below = 0;
    double beat_time = 0;
    int16_t sAmpl = 0;
    int16_t beat_available = 0;
};

// The running state of a Measurement, everything but its logs and the event byte (an
// atomic, as other threads read it): one fixed-size value, copied whole both ways so
// that a session review can keep the processing state at checkpoints and go on from one.
struct MeasurementValues {
    double dLEDSetScale = 0.08167613636363637;
    double dSensIR = 0.0;
    double dSensRed = 0.0;
    double dSensRed2 = 0.0;
    uint32_t lSample = 0;

    CurrentSample sample;
    ResultBlock result;
    // Pulse-amplitude acceptance window, rewritten from every type-36 record.
    float lower = 0.03f;
    float upper = 0.2f;
    Colour pulse_colour = RGB(0, 0, 0);

    PlethState pleth;
    EcgState ecg;
};

// A checkpoint: the values and the event byte.
struct MeasurementState : MeasurementValues {
    uint8_t event_byte = 0;
};

class Measurement : public MeasurementValues {
public:
    // Logs go into log_dir; empty means the working directory.
    explicit Measurement(std::string log_dir = std::string());
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;

    // Off: no log line is formatted or written (benchmarks, fuzzing).
    void SetLogging(bool on);
    bool Logging() const { return logging_; }
    const std::string& LogDirectory() const { return log_dir_; }

    void SaveState(MeasurementState& out) const;
    void RestoreState(const MeasurementState& in);

    // Constants of the device's scales.
    static constexpr double dADCScale = 7.631257631257631e-05;
    static constexpr double dLEDMeasScale = 0.013871626420454546;

    // The event flags byte of the latest framed record, for the plot's event strip:
    // 0 until the first record. Any thread may read it (the reduced protocol draws
    // from its receive thread).
    uint8_t EventByte() const { return event_byte_.load(std::memory_order_relaxed); }
    void SetEventByte(uint8_t flags) { event_byte_.store(flags, std::memory_order_relaxed); }

    // Sees every framed record's samples as the device sent them, right after the
    // common block is decoded: the current sample and the record's 18 ECG samples
    // (36 little-endian bytes), or null when the record carries none. Exports take
    // the waveforms from here; null to remove. Called in the interpreting thread.
    using SampleObserver = void (*)(void* context, const CurrentSample& sample, const uint8_t* ecg);
    void SetSampleObserver(SampleObserver observer, void* context) {
        observers_[0] = {observer, context};
    }
    // Further observers beside that one (publishing while exporting), told after it.
    // False when all kExtraSampleObservers places are taken. Removed by their context.
    static constexpr int kExtraSampleObservers = 2;
    bool AddSampleObserver(SampleObserver observer, void* context);
    void RemoveSampleObserver(void* context);
    void NotifySample(const uint8_t* ecg) const {
        for (const ObserverEntry& o : observers_)
            if (o.observer != nullptr) o.observer(o.context, sample, ecg);
    }

    // The text logs, kept open for the run once written.
    platform::TextLog fTxtLog;     // raw samples, with a header
    platform::TextLog fTxtLog2;    // results, with a header, decimal comma
    platform::TextLog dumpWL1617;  // decimal comma
    platform::TextLog maxima;      // decimal point
    platform::TextLog cm_maxima;   // decimal comma
    platform::TextLog dumpPutEKG;  // decimal comma
    platform::TextLog dumpGetEKG;  // decimal comma

private:
    std::string log_dir_;
    bool logging_ = true;
    std::atomic<uint8_t> event_byte_{0};
    struct ObserverEntry {
        SampleObserver observer = nullptr;
        void* context = nullptr;
    };
    ObserverEntry observers_[1 + kExtraSampleObservers];
};

// The lines all of a measurement's logs take while one lives are flushed together when
// it ends: one write per log for the records handled in one pass, not one per line.
// Only on the thread that writes the logs.
class LogBatch {
public:
    explicit LogBatch(Measurement& m)
        : raw_(m.fTxtLog),
          results_(m.fTxtLog2),
          wl_(m.dumpWL1617),
          maxima_(m.maxima),
          cm_(m.cm_maxima),
          put_ekg_(m.dumpPutEKG),
          get_ekg_(m.dumpGetEKG) {}

private:
    platform::TextLog::Batch raw_, results_, wl_, maxima_, cm_, put_ekg_, get_ekg_;
};

// Plethysmogram processing.
void UpdateNormFactors(Measurement& m, uint8_t gain, uint8_t led_ir, uint8_t led_red,
                       uint8_t led_red2);
void WLPutSample17(Measurement& m, uint16_t sIR, uint16_t sRed, uint16_t sOra);
// Block renormalisation of one window with the new value n; returns the exponent change.
int RenormWindow(uint16_t (&w)[17], uint32_t n);
void FindPulseMax(Measurement& m);
void EvalCMMaxima(Measurement& m);
// F split into exponent and mantissa (exposed for tests).
NormFactor SplitFactor(float f);

// ECG processing. samples: 18 little-endian int16 (36 bytes) or null (hold the last).
int PutEKG18(Measurement& m, const uint8_t* samples);
int GetEKG(Measurement& m, double amplitude);
double ParabolaVertex(double x1, double x2, double x3, double y1, double y2, double y3);
// double to int16 as truncation toward zero, wrapping modulo 2^16; a value that is
// not finite or outside the 32-bit range gives 0 (never undefined behaviour).
int16_t TruncToInt16(double x);

}  // namespace processing
