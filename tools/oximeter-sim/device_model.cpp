#include "tools/oximeter-sim/device_model.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr double kRecordSeconds = 0.020;
constexpr double kRiseSeconds = 0.10;  // systolic fall of the light level
constexpr double kBaseLevel = 16000;   // 32760 - ADC value, counts

void Put16(std::vector<uint8_t>& p, size_t at, int value) {
    uint16_t v = static_cast<uint16_t>(value);
    p[at] = static_cast<uint8_t>(v & 0xFF);
    p[at + 1] = static_cast<uint8_t>(v >> 8);
}

int Clamp16(double v) { return static_cast<int>(std::clamp(std::lround(v), -32768L, 32767L)); }

}  // namespace

int StatusCode(const std::string& name) {
    if (name == "ok") return 0;
    if (name == "sensor") return 1;
    if (name == "finger") return 2;
    if (name == "perfusion") return 3;
    if (name == "selftest") return 69;
    return -1;
}

DeviceModel::DeviceModel(const Options& options)
    : o_(options), rng_(options.seed * 0x9E3779B97F4A7C15ull + 1) {
    beat_period_ = 60.0 / std::max(20.0, o_.bpm);
    Derive();
}

void DeviceModel::Derive() {
    red_ratio_ = std::clamp((110.0 - o_.spo2) / 25.0, 0.2, 2.0);
    // A host measures the relative fall of IR plus Red over 100 ms, which takes in
    // the whole systolic fall: about (IR + Red amplitude) / 2. Perfusion p % makes
    // that p / 100, the geometric middle of the window (p x 0.005 .. p x 0.02) the
    // host derives from the perfusion it is told.
    ir_amplitude_ = 0.02 * o_.perfusion / (1.0 + red_ratio_);
}

void DeviceModel::SetValues(const Options& v) {
    if (v.spo2 == o_.spo2 && v.bpm == o_.bpm && v.perfusion == o_.perfusion && v.hbco == o_.hbco &&
        v.status == o_.status)
        return;
    const double period = 60.0 / std::max(20.0, v.bpm);
    if (period != beat_period_) {
        // The same point of the beat now, so that a changing rate draws no false beats.
        const double t = static_cast<double>(record_) * kRecordSeconds;
        const double part =
            std::fmod(t - beat_shift_ + 10 * beat_period_, beat_period_) / beat_period_;
        beat_shift_ = t - part * period;
        beat_period_ = period;
    }
    o_.spo2 = v.spo2;
    o_.bpm = v.bpm;
    o_.perfusion = v.perfusion;
    o_.hbco = v.hbco;
    o_.status = v.status;
    Derive();
}

double DeviceModel::Uniform() {
    // splitmix64
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
}

double DeviceModel::Gauss() {
    double u1 = std::max(Uniform(), 1e-12), u2 = Uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

double DeviceModel::PulseShape(double t) const {
    // Onset of the fall so that its steepest point lies ptt after the ECG beat.
    double onset = o_.ptt_ms / 1000.0 - kRiseSeconds / 2.0;
    double phase = std::fmod(t - onset + 10 * beat_period_, beat_period_);
    if (phase < kRiseSeconds) {
        double x = phase / kRiseSeconds;
        return x * x * (3 - 2 * x);
    }
    // Slow return over the rest of the beat.
    double rest = (phase - kRiseSeconds) / (beat_period_ - kRiseSeconds);
    return 1.0 - rest;
}

double DeviceModel::EcgSample(double t) {
    double phase = std::fmod(t + 10 * beat_period_, beat_period_);
    double v = 20.0 * Gauss() * o_.noise;
    // A negative-going R deflection, 40 ms wide, at the beat.
    if (phase < 0.040) v -= 1500.0 * (1.0 - std::fabs(phase - 0.020) / 0.020);
    // A small positive T wave.
    if (phase > 0.25 && phase < 0.40) v += 150.0 * std::sin((phase - 0.25) / 0.15 * 3.14159265);
    return v;
}

std::vector<uint8_t> DeviceModel::NextPayload(uint8_t* type) {
    double t = static_cast<double>(record_) * kRecordSeconds - beat_shift_;
    ++record_;
    bool ecg = o_.protocol == 2;
    size_t e = ecg ? 36 : 0;
    std::vector<uint8_t> p(e + 50, 0);
    // Scenarios: no finger gives no pulsation, a loose sensor no light, poor
    // perfusion a pulse too small to accept.
    double pulse = PulseShape(t);
    if (o_.status == 1 || o_.status == 2) pulse = 0;
    if (o_.status == 3) pulse *= 0.02;
    double jitter = o_.noise * 0.002;
    double ir = kBaseLevel * (1.0 - ir_amplitude_ * pulse + jitter * Gauss());
    double red = kBaseLevel * 0.9 * (1.0 - ir_amplitude_ * red_ratio_ * pulse + jitter * Gauss());
    double red2 = kBaseLevel * 0.8 * (1.0 - ir_amplitude_ * 0.8 * pulse + jitter * Gauss());
    int led_ir = 100, led_red = 80, led_red2 = 50;  // settings: byte = 255 - setting
    if (o_.status == 1) ir = red = red2 = 0;
    last_pleth_ = static_cast<int>(std::lround(ir));
    Put16(p, 0, static_cast<int>(record_ & 0x7FFF));
    Put16(p, 2, Clamp16(32760 - ir));
    Put16(p, 4, Clamp16((kBaseLevel - ir) * 4));
    Put16(p, 6, 589);  // measured currents match the set currents
    Put16(p, 8, Clamp16(32760 - red));
    Put16(p, 10, Clamp16((kBaseLevel * 0.9 - red) * 4));
    Put16(p, 12, 471);
    Put16(p, 14, Clamp16(32760 - red2));
    Put16(p, 16, Clamp16((kBaseLevel * 0.8 - red2) * 4));
    Put16(p, 18, 294);
    Put16(p, 20, 1000);  // sensor resistance
    Put16(p, 22, 4000);  // ambient light
    Put16(p, 24, 751);   // generator voltage
    Put16(p, 26, 1807);  // temperature, about 33 degC
    p[28] = static_cast<uint8_t>(255 - led_ir);
    p[29] = static_cast<uint8_t>(255 - led_red);
    p[30] = static_cast<uint8_t>(255 - led_red2);
    p[31] = 200;  // gain code
    double phase = std::fmod(t + 10 * beat_period_, beat_period_);
    p[32] = phase < kRecordSeconds ? 0x01 : 0x00;  // beat flag for the event strip
    if (ecg) {
        for (int i = 0; i < 18; ++i) Put16(p, 34 + 2 * i, Clamp16(EcgSample(t + i / 900.0)));
    }
    if (record_ % 50 == 0) {
        *type = 19;
        for (int i = 0; i < 4; ++i)
            Put16(p, e + 36 + 2 * i, 1000 * (i + 1) + static_cast<int>(record_ % 100));
        return p;
    }
    *type = 36;
    p[e + 34] = static_cast<uint8_t>(o_.status);
    Put16(p, e + 36, static_cast<int>(o_.perfusion * 50));
    double perfusion = o_.status == 3 ? 0.05 : o_.perfusion;  // below what is shown
    Put16(p, e + 38, static_cast<int>(std::lround(perfusion * 100)));
    Put16(p, e + 40, static_cast<int>(std::lround(o_.bpm * 10)));
    Put16(p, e + 42, 1500);
    Put16(p, e + 44, static_cast<int>(std::lround(20 + 5 * o_.noise * Uniform())));
    Put16(p, e + 46, static_cast<int>(std::lround(o_.spo2 * 10)));
    Put16(p, e + 48, static_cast<int>(std::lround(o_.hbco * 10)));
    return p;
}

std::vector<uint8_t> DeviceModel::ReducedBytes() {
    double t = static_cast<double>(record_) * kRecordSeconds - beat_shift_;
    ++record_;
    std::vector<uint8_t> out;
    double level = 1.0 - (o_.status == 1 || o_.status == 2 ? 0.0 : PulseShape(t));
    int sample = static_cast<int>(std::lround(40 + 160 * level + 4 * o_.noise * Gauss()));
    last_pleth_ = sample;
    // A data byte never takes a record code's value.
    out.push_back(0xF8);
    out.push_back(static_cast<uint8_t>(std::clamp(sample, 0, 0xF7)));
    // The beat's values (and the host's heartbeat sound) come with the pulse wave,
    // the transit time after the heart beat.
    double phase = std::fmod(t - o_.ptt_ms / 1000.0 + 10 * beat_period_, beat_period_);
    if (phase < kRecordSeconds) {
        out.push_back(0xF9);
        out.push_back(static_cast<uint8_t>(std::clamp(std::lround(o_.spo2), 0L, 100L)));
        out.push_back(0xFA);
        out.push_back(static_cast<uint8_t>(std::clamp(std::lround(o_.bpm), 0L, 0xF7L)));
        out.push_back(0xFB);
        out.push_back(static_cast<uint8_t>(o_.status));
        out.push_back(0xFC);
        out.push_back(static_cast<uint8_t>(std::clamp(std::lround(o_.perfusion * 10), 0L, 0xF7L)));
    }
    return out;
}

void DeviceModel::Faults(std::vector<uint8_t>* frame) {
    std::vector<uint8_t>& f = *frame;
    if (o_.bad_checksum > 0 && Uniform() < o_.bad_checksum) f[f.size() - 2] ^= 0x01;
    if (o_.drop_byte > 0 && Uniform() < o_.drop_byte && f.size() > 4) {
        size_t at = 1 + static_cast<size_t>(Uniform() * static_cast<double>(f.size() - 2));
        f.erase(f.begin() + static_cast<long>(at));
    }
    if (o_.cut_frame > 0 && Uniform() < o_.cut_frame && f.size() > 6) {
        // The rest of the frame never comes: the next one starts with its mark.
        f.resize(2 + static_cast<size_t>(Uniform() * static_cast<double>(f.size() - 4)));
    }
}

void DeviceModel::Burst(std::vector<uint8_t>* bytes) {
    // Every 250th record (5 s) a burst garbles what the line carries for a while.
    if (!o_.burst || record_ % 250 != 125 || bytes->empty()) return;
    size_t start = static_cast<size_t>(Uniform() * static_cast<double>(bytes->size()));
    size_t length = 8 + static_cast<size_t>(Uniform() * 24);
    for (size_t i = start; i < bytes->size() && i < start + length; ++i)
        (*bytes)[i] = static_cast<uint8_t>(Uniform() * 256);
}

std::vector<uint8_t> DeviceModel::NextRecordBytes() {
    std::vector<uint8_t> bytes;
    if (o_.protocol == 3) {
        bytes = ReducedBytes();
    } else {
        uint8_t type = 36;
        std::vector<uint8_t> payload = NextPayload(&type);
        bytes = EncodeFrame(sequence_, type, payload);
        sequence_ = static_cast<uint8_t>((sequence_ + 1) & 0x7F);
        ++frames_;
        Faults(&bytes);
    }
    Burst(&bytes);
    return bytes;
}

}  // namespace sim
