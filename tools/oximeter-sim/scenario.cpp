#include "tools/oximeter-sim/scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

bool ParseNumber(const char* text, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != 0 || errno != 0 || !std::isfinite(v) || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

namespace {

// One line's words after its time; "" when they are right, else why not.
std::string ParseWords(std::istringstream& words, Scenario::Step* s) {
    struct Key {
        const char* name;
        double lo, hi;
        double* value;
    };
    // The ranges of the command line's options.
    const Key keys[] = {{"spo2", 0, 100, &s->spo2},
                        {"bpm", 20, 300, &s->bpm},
                        {"perfusion", 0.01, 20, &s->perfusion},
                        {"hbco", 0, 100, &s->hbco},
                        {"ramp", 0, 1e7, &s->ramp},
                        {"unplug", 0, 1e7, &s->unplug}};
    std::string word;
    bool any = false;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) return "\"" + word + "\" is not key=value";
        const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        any = true;
        if (key == "status") {
            s->status = StatusCode(value);
            if (s->status < 0)
                return "status takes ok, sensor, finger, perfusion or selftest, not \"" + value +
                       "\"";
            continue;
        }
        const Key* k = nullptr;
        for (const Key& candidate : keys)
            if (key == candidate.name) k = &candidate;
        if (k == nullptr) return "unknown key \"" + key + "\"";
        if (!ParseNumber(value.c_str(), k->lo, k->hi, k->value)) {
            std::ostringstream why;
            why << key << " takes a number from " << k->lo << " to " << k->hi << ", not \"" << value
                << "\"";
            return why.str();
        }
    }
    if (!any) return "a time without a change";
    if (s->ramp > 0 && s->spo2 < 0 && s->bpm < 0 && s->perfusion < 0 && s->hbco < 0)
        return "ramp needs a number to reach (spo2, bpm, perfusion or hbco)";
    return "";
}

}  // namespace

bool Scenario::Parse(const std::string& text, std::string* error) {
    steps_.clear();
    std::istringstream lines(text);
    std::string line;
    double last = 0;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string time;
        if (!(words >> time)) continue;
        Step step;
        std::string why;
        if (!ParseNumber(time.c_str(), 0, 1e7, &step.at))
            why = "\"" + time + "\" is not a time in seconds";
        else if (step.at < last)
            why = "the time goes back (lines are in time order)";
        else
            why = ParseWords(words, &step);
        if (!why.empty()) {
            *error = "line " + std::to_string(number) + ": " + why;
            steps_.clear();
            return false;
        }
        last = step.at;
        steps_.push_back(step);
    }
    return true;
}

bool Scenario::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    if (Parse(text.str(), error)) return true;
    // "line N: why" as "FILE:N: why", the form editors jump to.
    *error = path + ":" + error->substr(5);
    return false;
}

double ScenarioPlayer::Ramp::At(double t) const {
    if (length <= 0 || t >= start + length) return to;
    return from + (to - from) * (t - start) / length;
}

ScenarioPlayer::ScenarioPlayer(const Scenario& scenario, const Options& base)
    : scenario_(scenario), values_(base) {
    const double start[4] = {base.spo2, base.bpm, base.perfusion, base.hbco};
    for (int i = 0; i < 4; ++i) ramps_[i].from = ramps_[i].to = start[i];
}

const Options& ScenarioPlayer::ValuesAt(double t) {
    const std::vector<Scenario::Step>& steps = scenario_.steps();
    for (; next_ < steps.size() && steps[next_].at <= t; ++next_) {
        const Scenario::Step& s = steps[next_];
        const double targets[4] = {s.spo2, s.bpm, s.perfusion, s.hbco};
        for (int i = 0; i < 4; ++i) {
            if (targets[i] < 0) continue;
            // A ramp starts from wherever the last one had got to.
            ramps_[i] = Ramp{ramps_[i].At(s.at), targets[i], s.at, s.ramp};
        }
        if (s.status >= 0) values_.status = s.status;
        if (s.unplug > 0) unplugged_until_ = s.at + s.unplug;
    }
    values_.spo2 = ramps_[0].At(t);
    values_.bpm = ramps_[1].At(t);
    values_.perfusion = ramps_[2].At(t);
    values_.hbco = ramps_[3].At(t);
    return values_;
}

}  // namespace sim
