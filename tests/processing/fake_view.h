// A recording view of the measurement results for the processing tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "processing/measurement_view.h"

namespace processing_test {

class FakeView : public processing::IMeasurementView {
public:
    struct Write {
        int field;
        std::string text;
    };

    void SetFieldText(int field, const char* text) override {
        if (text == nullptr || field < 0 || field >= ViewFieldCount) return;
        fields[field] = text;
        modified[field] = true;
        writes.push_back({field, text});
    }
    void AppendSample(uint8_t value, Colour colour) override {
        samples.emplace_back(value, colour);
    }
    void AppendPulseTrend(uint8_t value) override { pulse_trend.push_back(value); }
    void ResetPlot() override { ++resets; }
    void RedrawPlot() override {}
    void PlaySoundAsync(const char* file_name) override { sounds.emplace_back(file_name); }

    // Writes into one field since the last Clear().
    int WritesTo(int field) const {
        int n = 0;
        for (const auto& w : writes) n += w.field == field;
        return n;
    }
    void Clear() {
        writes.clear();
        samples.clear();
        pulse_trend.clear();
        sounds.clear();
    }

    std::string fields[ViewFieldCount];
    bool modified[ViewFieldCount] = {};
    std::vector<Write> writes;
    std::vector<std::pair<uint8_t, Colour>> samples;
    std::vector<uint8_t> pulse_trend;
    std::vector<std::string> sounds;
    int resets = 0;
};

}  // namespace processing_test
