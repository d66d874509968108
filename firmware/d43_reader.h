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

enum class D43Rule {
    kKnown,         // length holds the record's length
    kNoTagRule,     // the tag has no length rule
    kNoSubTagRule,  // tag 74 whose sub-tag has no length rule
    kCutOff,        // a byte that gives the length lies past the image
};

struct D43RecordInfo {
    D43Rule rule;
    uint64_t length;  // valid for kKnown only
    uint8_t tag;
    uint8_t sub_tag;  // tag 74 only
};

// Length of the record starting at offset (below image.size()) by the tag tables. The
// record itself may run past the end of the image.
D43RecordInfo D43RecordLength(std::span<const uint8_t> image, size_t offset);

// Results: kImageDone, kImageCannotOpen, kImageNoMemory, or kImageMalformed when the walk
// met a record whose length it cannot know (no rule, or length bytes past the end); that
// stop is one "*** " line naming the record's offset and tag, after the trace of the
// records before. A record of known length that runs past the end is traced, with 00 for
// the bytes that are not there, and ends the walk with kImageDone.
int WalkD43Image(const char* path);
int WalkD43Image(const std::string& path);
int WalkD43Image(std::span<const uint8_t> image);

}  // namespace firmware
