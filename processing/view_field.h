// The 38 edit fields of the monitoring view, in creation order. Other code relies on
// contiguous runs of this order, so never reorder it.
#pragma once

enum ViewField : int {
    LedS_IR,
    LedS_Red,
    LedS_Red2,
    LedM_IR,
    LedM_Red,
    LedM_Red2,
    Adc_IR,
    Adc_Red,
    Adc_Red2,
    AdcSig_IR,
    AdcSig_Red,
    AdcSig_Red2,
    GainI,
    StatusText,
    TimeText,
    ComputerText,
    PortText,
    Sensor_IR,
    Sensor_Red,
    Sensor_Red2,
    Rms_IR,
    Rms_Red,
    Rms_Red2,
    Pulse,
    Spo2,
    RHbCO,
    Rise,
    Jitter,
    Perfusion_IR,
    Perfusion_Red,
    RSens,
    Ambient,
    Gener,
    Temp,
    DocOperator,
    DocSerial,
    DocSensor,
    DocComment,
    ViewFieldCount
};

// The enumerator's own name ("LedS_IR", ...); nullptr outside the range.
inline const char* ViewFieldName(int field) {
    static const char* const kNames[ViewFieldCount] = {
        "LedS_IR",    "LedS_Red",    "LedS_Red2", "LedM_IR",      "LedM_Red",     "LedM_Red2",
        "Adc_IR",     "Adc_Red",     "Adc_Red2",  "AdcSig_IR",    "AdcSig_Red",   "AdcSig_Red2",
        "GainI",      "StatusText",  "TimeText",  "ComputerText", "PortText",     "Sensor_IR",
        "Sensor_Red", "Sensor_Red2", "Rms_IR",    "Rms_Red",      "Rms_Red2",     "Pulse",
        "Spo2",       "RHbCO",       "Rise",      "Jitter",       "Perfusion_IR", "Perfusion_Red",
        "RSens",      "Ambient",     "Gener",     "Temp",         "DocOperator",  "DocSerial",
        "DocSensor",  "DocComment"};
    return field >= 0 && field < ViewFieldCount ? kNames[field] : nullptr;
}
