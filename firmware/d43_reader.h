// Walker of D43 firmware images: a 59-byte preamble, then tagged records. The walk
// traces every record and every code sequence to the debugger output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "firmware/image_status.h"

namespace firmware {

constexpr size_t kD43FirstRecord = 59;
constexpr size_t kD43TraceBytes = 7;  // b[0] to b[6] in every record's trace line

enum class D43Rule {
    kKnown,         // length holds the record's length
    kNoTagRule,     // the tag has no length rule
    kNoSubTagRule,  // tag 74 whose sub-tag has no length rule
    kCutOff,        // a byte that gives the length, or the record's end, lies past the image
};

struct D43RecordInfo {
    D43Rule rule;
    uint64_t length;  // valid for kKnown only
    uint8_t tag;
    uint8_t sub_tag;  // tag 74 only
};

// Length of the record starting at offset (below image.size()) by the tag tables.
D43RecordInfo D43RecordLength(std::span<const uint8_t> image, size_t offset);

// Results: kImageDone, kImageCannotOpen, kImageNoMemory, or kImageMalformed when the walk
// met a record it cannot follow (no rule, or bytes past the end); that stop is one
// "*** " line naming the record's offset and tag, after the trace of the records before.
int WalkD43Image(const char* path);
int WalkD43Image(const std::string& path);
int WalkD43Image(std::span<const uint8_t> image);

}  // namespace firmware
