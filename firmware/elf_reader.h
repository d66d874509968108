// Reader of 32-bit little-endian ELF executables: loads every program segment that
// has bytes in the file, one at a time, and releases it again.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "firmware/image_status.h"

namespace firmware {

struct ElfSegment {
    int index;           // entry number in the program header table
    uint32_t offset;     // p_offset
    uint32_t file_size;  // p_filesz
};

// Sees each loaded segment's bytes while its buffer is alive.
using ElfSegmentVisitor = std::function<void(const ElfSegment&, std::span<const uint8_t>)>;

// Results: kImageDone, kImageCannotOpen, kImageNoMemory or kImageMalformed. A malformed
// header, table entry or segment is reported once on the debugger output; segments that
// lie outside the file are skipped, never read partly.
int ReadElfImage(const char* path, const ElfSegmentVisitor& visitor = {});
int ReadElfImage(const std::string& path, const ElfSegmentVisitor& visitor = {});
int ReadElfImage(std::span<const uint8_t> image, const ElfSegmentVisitor& visitor = {});

}  // namespace firmware
