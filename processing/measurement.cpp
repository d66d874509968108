#include "processing/measurement.h"

#include <utility>

namespace processing {

namespace {

std::string Join(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

Measurement::Measurement(std::string log_dir)
    : fTxtLog(Join(log_dir, "fTxtLog.txt"), platform::Decimal::kPoint,
              "lSample\tsIR\tsIR2\tsCurIR\tsLEDIR\tsRed\tsRed2\tsCurRed\tsLEDRed\tsOra\tsOra2\t"
              "sCurOra\tsLEDOra\tsGain\r\n"),
      fTxtLog2(Join(log_dir, "fTxtLog2.txt"), platform::Decimal::kComma,
               "Ticks\tHCPuls\tHCSPO2\tHCHBCO\tHCRise\tHCJitter\tHCPerf\r\n"),
      dumpWL1617(Join(log_dir, "dumpWL1617.txt"), platform::Decimal::kComma),
      maxima(Join(log_dir, "Maxima.txt"), platform::Decimal::kPoint),
      cm_maxima(Join(log_dir, "CM_Maxima.txt"), platform::Decimal::kComma),
      dumpPutEKG(Join(log_dir, "dumpPutEKG.txt"), platform::Decimal::kComma),
      dumpGetEKG(Join(log_dir, "dumpGetEKG.txt"), platform::Decimal::kComma),
      log_dir_(std::move(log_dir)) {}

void Measurement::SetLogging(bool on) {
    logging_ = on;
    for (platform::TextLog* log :
         {&fTxtLog, &fTxtLog2, &dumpWL1617, &maxima, &cm_maxima, &dumpPutEKG, &dumpGetEKG})
        log->SetEnabled(on);
}

bool Measurement::AddSampleObserver(SampleObserver observer, void* context) {
    for (int i = 1; i <= kExtraSampleObservers; ++i) {
        if (observers_[i].observer == nullptr) {
            observers_[i] = {observer, context};
            return true;
        }
    }
    return false;
}

void Measurement::RemoveSampleObserver(void* context) {
    for (int i = 1; i <= kExtraSampleObservers; ++i)
        if (observers_[i].context == context) observers_[i] = {};
}

void Measurement::SaveState(MeasurementState& out) const {
    static_cast<MeasurementValues&>(out) = *this;
    out.event_byte = EventByte();
}

void Measurement::RestoreState(const MeasurementState& in) {
    MeasurementValues::operator=(in);
    SetEventByte(in.event_byte);
}

}  // namespace processing
