// The results side of a view for fuzz targets: shows nothing, but sums what it is
// given, so the calls and their arguments cannot be optimised away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "processing/measurement_view.h"

namespace fuzz {

template <class Base = processing::IMeasurementView>
class CountingView : public Base {
public:
    void SetFieldText(int field, const char* text) override {
        if (text != nullptr && field >= 0 && field < ViewFieldCount) chars += std::strlen(text);
    }
    void AppendSample(uint8_t value, Colour) override { chars += value; }
    void AppendPulseTrend(uint8_t value) override { chars += value; }
    void ResetPlot() override {}
    void RedrawPlot() override {}
    void PlaySoundAsync(const char*) override {}
    size_t chars = 0;
};

}  // namespace fuzz
