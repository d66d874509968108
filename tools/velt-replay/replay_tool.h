// The headless replay: every recording through the replay and the pulse-period
// analysis exactly as the "Load.." command runs them, one after the other with the
// analysis state carried over.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "recordings/synthetic_pleth.h"

namespace velt_replay {

// args without the program name. Trace lines go to the debugger output (a file
// with --debug-out); errors and usage go to err. Returns 0 when every file was
// replayed to its end, 1 when one could not be opened or was damaged, 2 for a
// usage error.
int RunVeltReplay(const std::vector<std::string>& args, std::FILE* err);

// A recording of a synthetic pleth: one sample record per 5 ms step, and with
// extras a values record every 50 samples and a block and a variable record
// every 500, as a recorder would interleave them. Deterministic.
std::vector<uint8_t> MakeSyntheticRecording(const recordings::SyntheticPlethSettings& settings,
                                            int samples, bool extras);

// velt-make-recording: writes such a recording. Returns 0, 1 (write failed), 2 (usage).
int RunMakeRecording(const std::vector<std::string>& args, std::FILE* err);

}  // namespace velt_replay
