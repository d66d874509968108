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

void Measurement::SaveState(MeasurementState& out) const {
    out.dLEDSetScale = dLEDSetScale;
    out.dSensIR = dSensIR;
    out.dSensRed = dSensRed;
    out.dSensRed2 = dSensRed2;
    out.lSample = lSample;
    out.sample = sample;
    out.result = result;
    out.lower = lower;
    out.upper = upper;
    out.pulse_colour = pulse_colour;
    out.pleth = pleth;
    out.ecg = ecg;
    out.event_byte = EventByte();
}

void Measurement::RestoreState(const MeasurementState& in) {
    dLEDSetScale = in.dLEDSetScale;
    dSensIR = in.dSensIR;
    dSensRed = in.dSensRed;
    dSensRed2 = in.dSensRed2;
    lSample = in.lSample;
    sample = in.sample;
    result = in.result;
    lower = in.lower;
    upper = in.upper;
    pulse_colour = in.pulse_colour;
    pleth = in.pleth;
    ecg = in.ecg;
    SetEventByte(in.event_byte);
}

}  // namespace processing
