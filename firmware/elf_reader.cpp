#include "firmware/elf_reader.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "firmware/image_file.h"
#include "platform/debug_output.h"

namespace firmware {
namespace {

constexpr uint64_t kFileHeaderSize = 52;
constexpr uint64_t kProgramHeaderSize = 32;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Where the bytes come from: the image in memory or a file read piece by piece. Callers
// check every range against Size() first, so a read never leaves the image.
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t Size() const = 0;
    virtual bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) = 0;
    virtual int LastError() const = 0;
};

class MemorySource final : public Source {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) override {
        if (n > 0) std::memcpy(dst, bytes_.data() + offset, n);
        return true;
    }
    int LastError() const override { return 0; }

private:
    std::span<const uint8_t> bytes_;
};

class FileSource final : public Source {
public:
    FileSource(std::FILE* f, uint64_t size) : f_(f), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) override {
        return detail::ReadFileAt(f_, offset, dst, n, &error_);
    }
    int LastError() const override { return error_; }

private:
    std::FILE* f_;
    uint64_t size_;
    int error_ = 0;
};

bool Inside(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && size - offset >= length;
}

int ReadError(const char* name, const Source& src, uint64_t offset) {
    platform::DebugPrintf("*** ReadElfImage(%s): read error at offset %llu, error %i\n", name,
                          static_cast<unsigned long long>(offset), src.LastError());
    return kImageCannotOpen;
}

int ReadSegments(Source& src, const char* name, const ElfSegmentVisitor& visitor) {
    const uint64_t size = src.Size();
    uint8_t header[kFileHeaderSize];
    if (size < kFileHeaderSize) {
        platform::DebugPrintf("*** ReadElfImage(%s): file header cut off, %llu of 52 bytes\n", name,
                              static_cast<unsigned long long>(size));
        return kImageMalformed;
    }
    if (!src.ReadAt(0, header, sizeof header)) return ReadError(name, src, 0);

    const uint32_t phoff = Le32(header + 28);
    const uint16_t phentsize = Le16(header + 42);
    const int phnum = static_cast<int16_t>(Le16(header + 44));
    if (phnum <= 0) return kImageDone;
    // Entries closer than 32 bytes would overlap each other; such a table is not ELF.
    if (phentsize < kProgramHeaderSize) {
        platform::DebugPrintf(
            "*** ReadElfImage(%s): e_phentsize %u is below 32, program headers not read\n", name,
            static_cast<unsigned>(phentsize));
        return kImageMalformed;
    }

    int result = kImageDone;
    for (int i = 0; i < phnum; ++i) {
        // 64-bit arithmetic: a table near the 4 GiB mark must not wrap back into the file.
        const uint64_t at = phoff + static_cast<uint64_t>(i) * phentsize;
        if (!Inside(at, kProgramHeaderSize, size)) {
            // Later entries lie further out still.
            platform::DebugPrintf(
                "*** ReadElfImage(%s): program header %d at offset %llu lies outside the file "
                "(%llu bytes)\n",
                name, i, static_cast<unsigned long long>(at),
                static_cast<unsigned long long>(size));
            return kImageMalformed;
        }
        uint8_t ph[kProgramHeaderSize];
        if (!src.ReadAt(at, ph, sizeof ph)) return ReadError(name, src, at);
        const ElfSegment segment{i, Le32(ph + 4), Le32(ph + 16)};
        if (segment.file_size == 0) continue;
        // Checked before allocating, so a lying p_filesz never costs more than the file.
        if (!Inside(segment.offset, segment.file_size, size)) {
            platform::DebugPrintf(
                "*** ReadElfImage(%s): segment %d (%lu bytes at offset %lu) lies outside the "
                "file (%llu bytes), skipped\n",
                name, i, static_cast<unsigned long>(segment.file_size),
                static_cast<unsigned long>(segment.offset), static_cast<unsigned long long>(size));
            result = kImageMalformed;
            continue;
        }
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[segment.file_size]);
        if (!buffer) return kImageNoMemory;
        if (!src.ReadAt(segment.offset, buffer.get(), segment.file_size)) {
            return ReadError(name, src, segment.offset);
        }
        if (visitor) visitor(segment, std::span<const uint8_t>(buffer.get(), segment.file_size));
    }
    return result;
}

}  // namespace

int ReadElfImage(const char* path, const ElfSegmentVisitor& visitor) {
    if (path == nullptr || *path == '\0') return kImageCannotOpen;
    uint64_t size = 0;
    int error = 0;
    detail::FileHandle f = detail::OpenImageFile(path, &size, &error);
    if (!f) {
        platform::DebugPrintf("*** ReadElfImage(%s): cannot open, error %i\n", path, error);
        return kImageCannotOpen;
    }
    FileSource src(f.get(), size);
    return ReadSegments(src, path, visitor);
}

int ReadElfImage(const std::string& path, const ElfSegmentVisitor& visitor) {
    return ReadElfImage(path.c_str(), visitor);
}

int ReadElfImage(std::span<const uint8_t> image, const ElfSegmentVisitor& visitor) {
    MemorySource src(image);
    return ReadSegments(src, "memory", visitor);
}

}  // namespace firmware
