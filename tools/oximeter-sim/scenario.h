// A scenario for the simulated oximeter: what the device measures as time goes on, one
// line per change ("SECONDS key=value ..."), so that a test or a demonstration can
// tell a story (a desaturation, a pulse that climbs, an unplugged sensor cable).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/oximeter-sim/device_model.h"

namespace sim {

// A finite decimal number from lo to hi, the whole text; false otherwise. The options
// and the scenario lines take their numbers alike.
bool ParseNumber(const char* text, double lo, double hi, double* out);

class Scenario {
public:
    // One line: at `at` seconds the given values are set (or, with a ramp, reached
    // linearly over `ramp` seconds); with unplug the line goes away for that long.
    struct Step {
        double at = 0;
        double spo2 = -1, bpm = -1, perfusion = -1, hbco = -1;  // -1: not given
        int status = -1;                                        // -1: not given
        double ramp = 0;
        double unplug = 0;
    };

    // The text of a scenario file. False with *error "line N: why".
    bool Parse(const std::string& text, std::string* error);
    // A file; false with *error "FILE: why" or "FILE:N: why".
    bool Load(const std::string& path, std::string* error);

    bool empty() const { return steps_.empty(); }
    const std::vector<Step>& steps() const { return steps_; }

private:
    std::vector<Step> steps_;
};

// Plays a scenario forward in device time: the values at each record and whether the
// line is there. Time never goes back.
class ScenarioPlayer {
public:
    // base: the values before the first step (the command line's).
    ScenarioPlayer(const Scenario& scenario, const Options& base);

    // The device's values at t seconds into the run.
    const Options& ValuesAt(double t);
    // Whether the line is unplugged at t (after ValuesAt for the same t).
    bool Unplugged(double t) const { return t < unplugged_until_; }

private:
    struct Ramp {
        double from = 0, to = 0, start = 0, length = 0;
        double At(double t) const;
    };

    const Scenario& scenario_;
    Options values_;
    size_t next_ = 0;
    Ramp ramps_[4];  // spo2, bpm, perfusion, hbco
    double unplugged_until_ = -1;
};

}  // namespace sim
