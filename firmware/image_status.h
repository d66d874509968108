// Result codes shared by the firmware image readers.
#pragma once

namespace firmware {

constexpr int kImageDone = 0;
constexpr int kImageCannotOpen = -1;  // no path, or the file cannot be opened or read
constexpr int kImageNoMemory = -2;    // a buffer for the file's contents cannot be allocated
// The image describes bytes it does not hold (cut-off header, a table or segment outside
// the file, a D43 record without a rule or running past the end). What could be read
// was read; the diagnostic output names the first problem.
constexpr int kImageMalformed = -3;

}  // namespace firmware
