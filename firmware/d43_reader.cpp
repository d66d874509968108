#include "firmware/d43_reader.h"

#include <cstdint>
#include <memory>
#include <new>

#include "firmware/image_file.h"
#include "platform/debug_output.h"

namespace firmware {
namespace {

// The bytes of one record as far as the image holds them; a read past the end
// yields 0 and marks the record as cut off, so a length is never built on bytes
// that are not there.
class RecordBytes {
public:
    RecordBytes(std::span<const uint8_t> image, size_t offset) : rest_(image.subspan(offset)) {}

    uint64_t operator[](uint64_t k) {
        if (k >= rest_.size()) {
            cut_ = true;
            return 0;
        }
        return rest_[k];
    }
    uint64_t Be16(uint64_t k) { return ((*this)[k] << 8) | (*this)[k + 1]; }
    uint64_t Be32(uint64_t k) { return (Be16(k) << 16) | Be16(k + 2); }
    bool cut() const { return cut_; }

private:
    std::span<const uint8_t> rest_;
    bool cut_ = false;
};

bool Bit7(uint64_t byte) { return (byte & 0x80) != 0; }

// A count byte at q and that many items of one byte, or two when bit 7 of the first is
// set; the record ends after the last item.
uint64_t ListEnd(RecordBytes& b, uint64_t q) {
    const uint64_t count = b[q];
    uint64_t pos = q + 1;
    for (uint64_t i = 0; i < count && !b.cut(); ++i) pos += Bit7(b[pos]) ? 2 : 1;
    return pos;
}

D43RecordInfo Tag74Length(RecordBytes& b) {
    uint64_t p = Bit7(b[1]) ? 2 : 1;
    const uint64_t sub = b[p + 1];
    D43RecordInfo info{D43Rule::kKnown, 0, 74, static_cast<uint8_t>(sub)};
    switch (sub) {
        case 15:
            info.length = p + 3 + (Bit7(b[p + 2]) ? 1 : 0);
            break;
        case 41:
            info.length = p + 11;
            break;
        case 49:
            info.length = p + 7;
            break;
        case 35:
            if (Bit7(b[p + 2])) ++p;
            info.length = ListEnd(b, p + 8);
            break;
        case 42:
        case 43:
            if (Bit7(b[p + 3])) ++p;
            info.length = ListEnd(b, p + 8);
            break;
        default:
            // A sub-tag byte past the end is a cut-off record, not an unknown sub-tag.
            if (!b.cut()) info.rule = D43Rule::kNoSubTagRule;
            break;
    }
    return info;
}

}  // namespace

D43RecordInfo D43RecordLength(std::span<const uint8_t> image, size_t offset) {
    RecordBytes b(image, offset);
    const uint8_t tag = static_cast<uint8_t>(b[0]);
    D43RecordInfo info{D43Rule::kKnown, 0, tag, 0};
    switch (tag) {
        case 1:
        case 2:
        case 7:
            info.length = 7 + b[5] + 8 * b[6 + b[5]];
            break;
        case 57:
        case 212:
        case 213:
        case 215:
        case 216:
        case 217:
            info.length = 2 + b[1];
            break;
        case 63:
            info.length = 11 + b[10];
            break;
        case 73:
            info.length = 1;
            break;
        case 74:
            info = Tag74Length(b);
            break;
        case 79:
            info.length = 3;
            break;
        case 81:
            info.length = 6;
            break;
        case 82: {
            const uint64_t a = 6 + b[5];
            const uint64_t c = a + 3 + b[a + 2];
            info.length = c + 18 + b[c + 13];
            break;
        }
        case 176:
            info.length = 13;
            break;
        case 190:
        case 201:
        case 205:
        case 206:
            info.length = 5 + b.Be32(1);
            break;
        case 193:
            info.length = 18;
            break;
        case 196:
            info.length = 16;
            break;
        case 198:
        case 211:
            info.length = 3 + b.Be16(1);
            break;
        case 208:
            info.length = 5;
            break;
        default:
            info.rule = D43Rule::kNoTagRule;
            return info;
    }
    // A record that merely ends past the image still has a known length; only one whose
    // length bytes are missing cannot be followed.
    if (info.rule == D43Rule::kKnown && b.cut()) info.rule = D43Rule::kCutOff;
    return info;
}

int WalkD43Image(std::span<const uint8_t> image) {
    const size_t size = image.size();
    uint32_t address = 0;
    size_t offset = kD43FirstRecord;
    while (offset < size) {
        const D43RecordInfo info = D43RecordLength(image, offset);
        const unsigned at = static_cast<unsigned>(offset);
        switch (info.rule) {
            case D43Rule::kNoTagRule:
                platform::DebugPrintf(
                    "*** WalkD43Image: record at %08X, tag %u (0x%02X), has no length rule, "
                    "walk stopped\n",
                    at, info.tag, info.tag);
                return kImageMalformed;
            case D43Rule::kNoSubTagRule:
                platform::DebugPrintf(
                    "*** WalkD43Image: record at %08X, tag %u (0x%02X), has sub-tag %u (0x%02X) "
                    "without a length rule, walk stopped\n",
                    at, info.tag, info.tag, info.sub_tag, info.sub_tag);
                return kImageMalformed;
            case D43Rule::kCutOff:
                platform::DebugPrintf(
                    "*** WalkD43Image: record at %08X, tag %u (0x%02X), runs past the end of "
                    "the file (%zu bytes), walk stopped\n",
                    at, info.tag, info.tag, size);
                return kImageMalformed;
            case D43Rule::kKnown:
                break;
        }
        // Every length rule gives at least one byte, so the offset always advances; a record
        // that runs past the end is traced and then ends the walk. Bytes past the end show
        // as 00.
        RecordBytes b(image, offset);
        platform::DebugPrintf(
            "%08X %02X %02X %02X %02X %02X %02X %02X\n", at, static_cast<unsigned>(b[0]),
            static_cast<unsigned>(b[1]), static_cast<unsigned>(b[2]), static_cast<unsigned>(b[3]),
            static_cast<unsigned>(b[4]), static_cast<unsigned>(b[5]), static_cast<unsigned>(b[6]));
        if (info.tag == 57) {
            const uint32_t n = static_cast<uint32_t>(b[1]);
            platform::DebugPrintf("Code sequence at %06X - %06X\n", address, address + n - 1u);
            address += n;
        } else if (info.tag == 81) {
            address = static_cast<uint32_t>(b.Be32(2));
        }
        if (info.length >= size - offset) break;
        offset += static_cast<size_t>(info.length);
    }
    return kImageDone;
}

int WalkD43Image(const char* path) {
    if (path == nullptr || *path == '\0') return kImageCannotOpen;
    uint64_t size = 0;
    int error = 0;
    detail::FileHandle f = detail::OpenImageFile(path, &size, &error);
    if (!f) {
        platform::DebugPrintf("*** WalkD43Image(%s): cannot open, error %i\n", path, error);
        return kImageCannotOpen;
    }
    if (size > SIZE_MAX) return kImageNoMemory;
    const size_t n = static_cast<size_t>(size);
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[n == 0 ? 1 : n]);
    if (!bytes) return kImageNoMemory;
    if (!detail::ReadFileAt(f.get(), 0, bytes.get(), n, &error)) {
        platform::DebugPrintf("*** WalkD43Image(%s): read error, error %i\n", path, error);
        return kImageCannotOpen;
    }
    f.reset();
    return WalkD43Image(std::span<const uint8_t>(bytes.get(), n));
}

int WalkD43Image(const std::string& path) { return WalkD43Image(path.c_str()); }

}  // namespace firmware
