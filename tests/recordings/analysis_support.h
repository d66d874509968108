// Helpers shared by the recordings tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "recordings/pulse_analysis.h"
#include "recordings/synthetic_pleth.h"

namespace recordings_test {

// "%lg" of a run-time 0 / 0, as the C library prints it here.
inline std::string UndefinedText() {
    volatile double zero = 0.0;
    char text[32];
    std::snprintf(text, sizeof text, "%lg", zero / zero);
    return text;
}

inline std::vector<std::string> WithPrefix(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
}

struct AutoCorrLine {
    int lNData = 0;
    int kAMDFMax = 0;
    double dCorrAMDFMax = 0;
    double dFrHarmonic = 0;
};

inline std::vector<AutoCorrLine> AutoCorrLines(const std::vector<std::string>& lines) {
    std::vector<AutoCorrLine> out;
    for (const auto& l : WithPrefix(lines, "AutoCorr: ")) {
        AutoCorrLine a;
        if (std::sscanf(l.c_str(),
                        "AutoCorr: lNData=%d kAMDFMax=%d dCorrAMDFMax=%lg dFrHarmonic=%lg",
                        &a.lNData, &a.kAMDFMax, &a.dCorrAMDFMax, &a.dFrHarmonic) == 4) {
            out.push_back(a);
        }
    }
    return out;
}

inline void Feed(recordings::CPulseAnalysis& analysis, recordings::CSyntheticPleth& pleth, int n) {
    for (int i = 0; i < n; ++i) analysis.AutoCorrEntry(pleth.Next());
}

}  // namespace recordings_test
