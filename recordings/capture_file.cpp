#include "recordings/capture_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/file_identity.h"

namespace recordings {
namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutLeAt(uint8_t* out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// t[0] is the byte-wise table; t[k] advances a byte's remainder by k more zero bytes,
// so that eight bytes are summed in one step (slicing-by-8).
struct CrcTable {
    uint32_t t[8][256];
    constexpr CrcTable() : t() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (int k = 1; k < 8; ++k)
            for (uint32_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};
constexpr CrcTable kCrc;

void PutText(std::vector<uint8_t>& out, const std::string& text) {
    const size_t n = std::min(text.size(), kCaptureMaxText);
    PutLe(out, n, 2);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<long>(n));
}

bool GetText(const uint8_t* p, size_t end, size_t* at, std::string* text) {
    if (end - *at < 2) return false;
    const size_t n = GetLe(p + *at, 2);
    if (end - *at - 2 < n) return false;
    text->assign(p + *at + 2, p + *at + 2 + n);
    *at += 2 + n;
    return true;
}

}  // namespace

const char* CaptureKindName(CaptureKind kind) {
    switch (kind) {
        case CaptureKind::DeviceBytes:
            return "device bytes";
        case CaptureKind::ProgramBytes:
            return "program bytes";
        case CaptureKind::PortOpened:
            return "port opened";
        case CaptureKind::PortClosed:
            return "port closed";
        case CaptureKind::DeviceLost:
            return "device lost";
        case CaptureKind::DeviceBack:
            return "device back";
        case CaptureKind::DeviceBytesDropped:
            return "device bytes dropped";
        case CaptureKind::ProgramBytesDropped:
            return "program bytes dropped";
        case CaptureKind::RecordsDropped:
            return "records dropped";
        case CaptureKind::NoData:
            return "no data";
        case CaptureKind::Clock:
            return "clock";
        case CaptureKind::Protocol:
            return "protocol";
        case CaptureKind::Documentation:
            return "documentation";
        case CaptureKind::Handoffs:
            return "handoffs";
        case CaptureKind::Alarm:
            return "alarm";
        case CaptureKind::Mark:
            return "mark";
    }
    return "unknown";
}

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
    const auto& t = kCrc.t;
    crc = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        const uint32_t low =
            crc ^ (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    for (size_t i = 0; i < size; ++i) crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string CaptureHeaderProblem(const CaptureHeader& header) {
    if (header.protocol < 1 || header.protocol > 3)
        return "protocol " + std::to_string(header.protocol) + " is not one this format has";
    if (header.version != kCaptureVersion && header.version != kCaptureVersion1)
        return "version " + std::to_string(header.version) + " is not one this program writes";
    return "";
}

void AppendCaptureHeader(std::vector<uint8_t>& out, const CaptureHeader& header) {
    const size_t start = out.size();
    out.insert(out.end(), std::begin(kCaptureMagic), std::end(kCaptureMagic));
    PutLe(out, header.version, 2);
    PutLe(out, 0, 2);  // the size, filled in below
    out.push_back(static_cast<uint8_t>(header.protocol));
    PutLe(out, 0, 3);
    if (header.version == kCaptureVersion1) {
        PutLe(out, static_cast<uint64_t>(header.start_unix_us / 1000), 8);
        PutLeAt(out.data() + start + 10, kCaptureFixedHeaderSize, 2);
        return;
    }
    PutLe(out, static_cast<uint64_t>(header.start_unix_us), 8);
    PutText(out, header.device);
    PutText(out, header.line);
    PutText(out, header.host);
    PutText(out, header.writer);
    // After the four texts, where readers before these facts read no further.
    if (!header.connection.empty() || header.part != 0) {
        PutText(out, header.connection);
        PutLe(out, header.part, 4);
    }
    PutLeAt(out.data() + start + 10, out.size() - start + 4, 2);
    PutLe(out, Crc32(out.data() + start, out.size() - start), 4);
}

void EncodeCaptureRecordHead(uint8_t* head, CaptureKind kind, uint64_t time_us, size_t size) {
    head[0] = kCaptureSync[0];
    head[1] = kCaptureSync[1];
    head[2] = static_cast<uint8_t>(kind);
    PutLeAt(head + 3, time_us, 8);
    PutLeAt(head + 11, size, 2);
}

uint32_t CaptureRecordCheck(const uint8_t* head, const uint8_t* data, size_t size) {
    return Crc32(data, size, Crc32(head, kCaptureRecordHeaderSize));
}

void AppendCaptureRecord(std::vector<uint8_t>& out, CaptureKind kind, uint64_t time_us,
                         const uint8_t* data, size_t size) {
    do {
        const size_t n = std::min(size, kCaptureMaxChunk);
        uint8_t head[kCaptureRecordHeaderSize];
        EncodeCaptureRecordHead(head, kind, time_us, n);
        out.insert(out.end(), head, head + sizeof head);
        if (n > 0) out.insert(out.end(), data, data + n);
        PutLe(out, CaptureRecordCheck(head, data, n), 4);
        data += n;
        size -= n;
    } while (size > 0);
}

void AppendCaptureV1Record(std::vector<uint8_t>& out, CaptureKind kind, uint32_t time_ms,
                           const uint8_t* data, size_t size) {
    do {
        const size_t n = std::min(size, kCaptureMaxChunk);
        out.push_back(static_cast<uint8_t>(kind));
        PutLe(out, time_ms, 4);
        PutLe(out, n, 2);
        if (n > 0) out.insert(out.end(), data, data + n);
        data += n;
        size -= n;
    } while (size > 0);
}

std::string DescribeCaptureEvent(const CaptureEvent& e) {
    if (e.type == CaptureEvent::Cut) return "cut at byte " + std::to_string(e.at);
    if (e.type != CaptureEvent::Damage) return "";
    return "damaged at byte " + std::to_string(e.at) + ", resumed at byte " +
           std::to_string(e.resumed) + ", " + std::to_string(e.resumed - e.at) +
           " bytes skipped (" + e.why + ")";
}

// ---- the pure reader ----

CaptureStream::CaptureStream() = default;

void CaptureStream::Feed(const uint8_t* data, size_t size) {
    Consume();
    // Kept bytes move to the front before the buffer grows: it holds at most one
    // record and one piece.
    if (begin_ > 0 && (begin_ == buffer_.size() || begin_ >= buffer_.size() / 2)) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(begin_));
        begin_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

void CaptureStream::FinishInput() { finished_ = true; }

void CaptureStream::Consume() {
    if (consume_ > 0) Drop(consume_);
    consume_ = 0;
}

void CaptureStream::Drop(size_t n) {
    if (damaged_) {
        const uint8_t* p = buffer_.data() + begin_;
        const uint8_t* last = p + n;
        while (last > p && last[-1] == 0) --last;
        if (last > p) {
            damage_all_zero_ = false;
            damage_nonzero_end_ = pos_ + static_cast<uint64_t>(last - p);
        }
    }
    begin_ += n;
    pos_ += n;
    check_budget_ = std::min(kCheckBudgetMax, check_budget_ + kCheckBudgetPerByte * n);
}

bool CaptureStream::Damaged(uint64_t at, const char* why) {
    if (damaged_ || seeking_) return false;
    damaged_ = true;
    damage_at_ = at;
    damage_why_ = why;
    damage_all_zero_ = true;
    damage_cut_ = false;
    damage_record_end_ = damage_nonzero_end_ = 0;
    return true;
}

CaptureStream::Step CaptureStream::EndOfDamage(CaptureEvent* e, uint64_t resumed) {
    *e = CaptureEvent{};
    e->at = damage_at_;
    e->resumed = resumed;
    e->why = damage_why_;
    // Nothing good after a record that runs past the end, or only zeros (a file
    // extended but never written): the file was cut there.
    const bool at_end = finished_ && begin_ == buffer_.size();
    // So is part of a record followed by zeros to the end (a power loss: the size grew
    // before all the data reached the disk).
    const bool zero_tail = damage_record_end_ > 0 && damage_nonzero_end_ <= damage_record_end_;
    e->type = at_end && (damage_cut_ || damage_all_zero_ || zero_tail) ? CaptureEvent::Cut
                                                                       : CaptureEvent::Damage;
    damaged_ = false;
    return Step::Event;
}

std::string CaptureStream::Error() const {
    switch (status_) {
        case Status::Ok:
            return "";
        case Status::NotACapture:
            return "not a capture file (no VELT-CAP header)";
        case Status::UnsupportedVersion:
            return "capture format version " + std::to_string(header_.version) +
                   " is not supported (this program reads versions 1 and 2)";
        case Status::BadHeader:
            return header_problem_;
    }
    return "";
}

CaptureStream::Step CaptureStream::ReadHeader() {
    if (header_done_) return Step::Event;
    if (status_ != Status::Ok) return Step::Refused;
    const size_t avail = buffer_.size() - begin_;
    const uint8_t* p = buffer_.data() + begin_;
    auto refuse = [&](Status s, std::string why) {
        status_ = s;
        header_problem_ = std::move(why);
        return Step::Refused;
    };
    // A file cut inside its magic is still a capture whose header was cut short.
    const size_t magic = std::min(avail, sizeof kCaptureMagic);
    if ((magic > 0 && std::memcmp(p, kCaptureMagic, magic) != 0) || (finished_ && avail == 0))
        return refuse(Status::NotACapture, "");
    auto need = [&](size_t n) {
        if (avail >= n) return Step::Event;
        if (!finished_) return Step::NeedBytes;
        return refuse(Status::BadHeader, "capture header cut short");
    };
    Step s = need(12);
    if (s != Step::Event) return s;
    header_.version = static_cast<uint16_t>(GetLe(p + 8, 2));
    const size_t size = GetLe(p + 10, 2);
    if (header_.version != kCaptureVersion && header_.version != kCaptureVersion1)
        return refuse(Status::UnsupportedVersion, "");
    const size_t least = header_.version == kCaptureVersion1 ? kCaptureFixedHeaderSize
                                                             : kCaptureFixedHeaderSize + 12;
    if (size < least || size > kCaptureMaxHeaderSize)
        return refuse(Status::BadHeader,
                      "capture header is damaged (header size " + std::to_string(size) + ")");
    if ((s = need(size)) != Step::Event) return s;
    header_.protocol = p[12];
    if (header_.version == kCaptureVersion1) {
        const int64_t ms = static_cast<int64_t>(GetLe(p + 16, 8));
        if (ms > INT64_MAX / 1000 || ms < INT64_MIN / 1000)
            return refuse(Status::BadHeader, "capture header is damaged (start time out of range)");
        header_.start_unix_us = ms * 1000;
    } else {
        if (Crc32(p, size - 4) != GetLe(p + size - 4, 4))
            return refuse(Status::BadHeader, "capture header is damaged (bad check)");
        header_.start_unix_us = static_cast<int64_t>(GetLe(p + 16, 8));
        size_t at = kCaptureFixedHeaderSize;
        const size_t end = size - 4;
        if (!GetText(p, end, &at, &header_.device) || !GetText(p, end, &at, &header_.line) ||
            !GetText(p, end, &at, &header_.host) || !GetText(p, end, &at, &header_.writer))
            return refuse(Status::BadHeader, "capture header is damaged (facts do not fit)");
        // The connection's facts, when the writer gave them.
        if (end - at >= 6 && GetText(p, end, &at, &header_.connection) && end - at >= 4)
            header_.part = static_cast<uint32_t>(GetLe(p + at, 4));
    }
    if (header_.protocol < 1 || header_.protocol > 3)
        return refuse(Status::BadHeader, "capture header names protocol " +
                                             std::to_string(header_.protocol) +
                                             " (known: 1, 2, 3)");
    Drop(size);
    records_start_ = pos_;
    header_done_ = true;
    return Step::Event;
}

void CaptureStream::StartAt(uint64_t offset) {
    buffer_.clear();
    begin_ = 0;
    consume_ = 0;
    pos_ = offset;
    finished_ = ended_ = damaged_ = false;
    have_time_ = false;
    seeking_ = header_.version == kCaptureVersion && offset != records_start_;
}

CaptureStream::Step CaptureStream::Next(CaptureEvent* event) {
    Consume();
    if (!header_done_) {
        const Step s = ReadHeader();
        if (s != Step::Event) return s;
    }
    if (ended_) return Step::End;
    return header_.version == kCaptureVersion1 ? NextV1(event) : NextV2(event);
}

CaptureStream::Step CaptureStream::NextV2(CaptureEvent* event) {
    for (;;) {
        const size_t avail = buffer_.size() - begin_;
        const uint8_t* p = buffer_.data() + begin_;
        if (avail == 0) {
            if (!finished_) return Step::NeedBytes;
            if (damaged_) return EndOfDamage(event, pos_);
            ended_ = true;
            return Step::End;
        }
        if (p[0] != kCaptureSync[0] || (avail >= 2 && p[1] != kCaptureSync[1])) {
            if (avail == 1 && p[0] == kCaptureSync[0] && !finished_) return Step::NeedBytes;
            Damaged(pos_, "no record marker");
            const void* next = avail > 1 ? std::memchr(p + 1, kCaptureSync[0], avail - 1) : nullptr;
            Drop(next != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(next) - p)
                                 : avail);
            continue;
        }
        const size_t length = avail >= kCaptureRecordHeaderSize ? GetLe(p + 11, 2) : 0;
        const size_t whole = kCaptureRecordOverhead + length;
        // Inside damage, a candidate past the budget is passed over unchecked (and
        // without waiting for its bytes).
        if (damaged_ && avail >= kCaptureRecordHeaderSize && whole > check_budget_) {
            Drop(1);
            continue;
        }
        if (avail < kCaptureRecordHeaderSize || avail < whole) {
            if (!finished_) return Step::NeedBytes;
            // Runs past the end: a cut, unless a good record is found inside it.
            if (Damaged(pos_, "cut")) damage_cut_ = true;
            Drop(1);
            continue;
        }
        const uint8_t kind = p[2];
        if (kind == 0 || CaptureRecordCheck(p, p + kCaptureRecordHeaderSize, length) !=
                             GetLe(p + kCaptureRecordHeaderSize + length, 4)) {
            if (kind != 0) check_budget_ -= std::min<uint64_t>(check_budget_, whole);
            if (Damaged(pos_, "bad check")) damage_record_end_ = pos_ + whole;
            Drop(1);
            continue;
        }
        const uint64_t time = GetLe(p + 3, 8);
        if (have_time_ && time < last_time_) {
            Damaged(pos_, "time goes back");
            Drop(whole);
            continue;
        }
        seeking_ = false;
        // Damage first; the record is read again on the next call.
        if (damaged_) return EndOfDamage(event, pos_);
        last_time_ = time;
        have_time_ = true;
        if (kind > kCaptureLastKind) {  // a later version's kind: its length says how far
            Drop(whole);
            continue;
        }
        *event = CaptureEvent{};
        event->record = {static_cast<CaptureKind>(kind), time, p + kCaptureRecordHeaderSize, length,
                         pos_};
        consume_ = whole;
        return Step::Event;
    }
}

// Version 1 has no marker to find a record again: everything after damage is skipped.
CaptureStream::Step CaptureStream::NextV1(CaptureEvent* event) {
    for (;;) {
        const size_t avail = buffer_.size() - begin_;
        const uint8_t* p = buffer_.data() + begin_;
        if (damaged_) {
            Drop(avail);
            if (!finished_) return Step::NeedBytes;
            return EndOfDamage(event, pos_);
        }
        if (avail == 0) {
            if (!finished_) return Step::NeedBytes;
            ended_ = true;
            return Step::End;
        }
        const size_t length = avail >= kCaptureV1RecordHeaderSize ? GetLe(p + 5, 2) : 0;
        const size_t whole = kCaptureV1RecordHeaderSize + length;
        if (avail < kCaptureV1RecordHeaderSize || avail < whole) {
            if (!finished_) return Step::NeedBytes;
            if (Damaged(pos_, "cut")) damage_cut_ = true;
            continue;
        }
        const uint64_t time = GetLe(p + 1, 4) * 1000;
        if (p[0] == 0) {
            Damaged(pos_, "record kind 0");
            continue;
        }
        if (have_time_ && time < last_time_) {
            Damaged(pos_, "time goes back");
            continue;
        }
        last_time_ = time;
        have_time_ = true;
        if (p[0] > static_cast<uint8_t>(CaptureKind::DeviceBack)) {
            Drop(whole);
            continue;
        }
        *event = CaptureEvent{};
        event->record = {static_cast<CaptureKind>(p[0]), time, p + kCaptureV1RecordHeaderSize,
                         length, pos_};
        consume_ = whole;
        return Step::Event;
    }
}

// ---- reading from a source ----

namespace {

class FileSource : public CaptureByteSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    ~FileSource() override { ::close(fd_); }
    long ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override {
        for (;;) {
            const ssize_t n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            return static_cast<long>(n);
        }
    }

private:
    int fd_;
};

constexpr size_t kPiece = 1 << 16;

}  // namespace

std::unique_ptr<CaptureByteSource> OpenCaptureFileSource(const std::string& path,
                                                         std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        *error = "is a directory, not a capture file";
        return nullptr;
    }
    return std::make_unique<FileSource>(fd);
}

bool CaptureFileReader::Open(const std::string& path) {
    std::string why;
    std::unique_ptr<CaptureByteSource> source = OpenCaptureFileSource(path, &why);
    if (!source) {
        error_ = "cannot read " + path + ": " + why;
        return false;
    }
    return Open(std::move(source));
}

bool CaptureFileReader::Open(std::unique_ptr<CaptureByteSource> source) {
    source_ = std::move(source);
    stream_ = CaptureStream();
    read_at_ = 0;
    error_.clear();
    damaged_bytes_ = cut_at_ = 0;
    damages_ = 0;
    cut_ = false;
    for (;;) {
        const CaptureStream::Step s = stream_.ReadHeader();
        if (s == CaptureStream::Step::Event) return true;
        if (s == CaptureStream::Step::Refused) {
            error_ = stream_.Error();
            return false;
        }
        if (!Pull()) return false;
    }
}

bool CaptureFileReader::Pull() {
    piece_.resize(kPiece);
    const long n = source_->ReadAt(read_at_, piece_.data(), piece_.size());
    if (n < 0) {
        error_ = std::string("read error: ") + std::strerror(errno);
        return false;
    }
    if (n == 0) {
        stream_.FinishInput();
    } else {
        stream_.Feed(piece_.data(), static_cast<size_t>(n));
        read_at_ += static_cast<uint64_t>(n);
    }
    return true;
}

bool CaptureFileReader::Next(CaptureEvent* event) {
    if (!source_) return false;
    for (;;) {
        switch (stream_.Next(event)) {
            case CaptureStream::Step::Event:
                return true;
            case CaptureStream::Step::NeedBytes:
                if (!Pull()) return false;
                break;
            case CaptureStream::Step::End:
            case CaptureStream::Step::Refused:
                return false;
        }
    }
}

bool CaptureFileReader::NextRecord(CaptureRecord* record) {
    CaptureEvent e;
    while (Next(&e)) {
        if (e.type == CaptureEvent::Record) {
            *record = e.record;
            return true;
        }
        if (e.type == CaptureEvent::Cut) {
            cut_ = true;
            cut_at_ = e.at;
        } else {
            if (damages_++ == 0) first_damage_ = e;
            damaged_bytes_ += e.resumed - e.at;
        }
    }
    return false;
}

bool CaptureFileReader::Seek(uint64_t offset) {
    if (!source_ || !stream_.header_done()) return false;
    stream_.StartAt(std::max(offset, stream_.records_start()));
    read_at_ = stream_.offset();
    return true;
}

bool ReceivedChunks::OpenAtStart(CaptureFileReader& reader) {
    bool open = true;
    CaptureEvent e;
    reader.Seek(reader.records_start());
    while (reader.Next(&e)) {
        if (e.type != CaptureEvent::Record) continue;
        if (e.record.kind == CaptureKind::PortOpened || e.record.kind == CaptureKind::PortClosed) {
            open = e.record.kind == CaptureKind::PortClosed;
            break;
        }
    }
    reader.Seek(reader.records_start());
    return open;
}

// ---- writing ----

int OpenCaptureOutput(const std::string& path, bool overwrite, std::string* error) {
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    const bool regular = !exists || S_ISREG(st.st_mode);
    if (exists && S_ISDIR(st.st_mode)) {
        *error = path + " is a directory";
        errno = EISDIR;
        return -1;
    }
    int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
    if (regular) flags |= O_CREAT | (overwrite ? 0 : O_EXCL);
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        const int e = errno;
        *error = e == EEXIST ? path + " exists" : "cannot create " + path + ": " + std::strerror(e);
        errno = e;
        return -1;
    }
    if (regular) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            *error = e == EWOULDBLOCK ? path + " is being written by another capture"
                                      : "cannot lock " + path + ": " + std::strerror(e);
            errno = e;
            return -1;
        }
        if (::ftruncate(fd, 0) != 0) {
            const int e = errno;
            ::close(fd);
            *error = "cannot create " + path + ": " + std::strerror(e);
            errno = e;
            return -1;
        }
    }
    // Only a FIFO needs the descriptor non-blocking; files are written as usual.
    if (!S_ISFIFO(st.st_mode) || !exists) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int CreateCaptureWithHead(const std::string& path, const std::vector<uint8_t>& head, bool replace,
                          std::string* error) {
    if (replace && platform::HeldByWriter(path)) {
        *error = path + " is being written by another capture";
        errno = EWOULDBLOCK;
        return -1;
    }
    static std::atomic<unsigned> counter{0};
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    auto hidden = [&] {
        return dir + "." + path.substr(slash + 1) + "." + std::to_string(::getpid()) + "." +
               std::to_string(counter.fetch_add(1)) + ".new";
    };
    std::string temp;  // a hidden name, while the file has one
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        temp = hidden();  // a file system without nameless files
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    auto fail = [&](const std::string& what) {
        const int e = errno;
        if (fd >= 0) ::close(fd);
        if (!temp.empty()) ::unlink(temp.c_str());
        *error = what;
        errno = e;
        return -1;
    };
    if (fd < 0) return fail("cannot create " + path + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail("cannot lock " + path + ": " + std::strerror(errno));
    for (size_t done = 0; done < head.size();) {
        const ssize_t n = ::write(fd, head.data() + done, head.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return fail("cannot write " + path + ": " + std::strerror(errno));
        }
        done += static_cast<size_t>(n);
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (replace && temp.empty()) {
        // Only a named file can be renamed over another.
        const std::string name = hidden();
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return fail("cannot create " + path + ": " + std::strerror(errno));
        temp = name;
    }
    const int linked =
        replace        ? ::rename(temp.c_str(), path.c_str())
        : temp.empty() ? ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW)
                       : ::link(temp.c_str(), path.c_str());
    if (linked != 0)
        return fail(errno == EEXIST ? path + " exists"
                                    : "cannot create " + path + ": " + std::strerror(errno));
    if (!replace && !temp.empty()) ::unlink(temp.c_str());
    return fd;
}

CaptureWriter::~CaptureWriter() { Close(); }

bool CaptureWriter::Fail(const char* what, int error) {
    if (!failed_) error_ = std::string(what) + " " + path_ + ": " + std::strerror(error);
    failed_ = true;
    return false;
}

bool CaptureWriter::Open(const std::string& path, const CaptureHeader& header, bool overwrite) {
    Close();
    path_ = path;
    error_.clear();
    failed_ = false;
    flushed_size_ = last_time_ = 0;
    pending_.clear();
    // A reader would refuse the whole file, so it is not written at all.
    const std::string problem = CaptureHeaderProblem(header);
    if (!problem.empty()) {
        failed_ = true;
        error_ = "cannot create " + path + ": " + problem;
        return false;
    }
    fd_ = OpenCaptureOutput(path, overwrite, &error_);
    if (fd_ < 0) {
        failed_ = true;
        return false;
    }
    if (header.version != kCaptureVersion) {
        failed_ = true;
        error_ = "cannot create " + path + ": this writer writes version 2 only";
        return false;
    }
    AppendCaptureHeader(pending_, header);
    return Flush();
}

bool CaptureWriter::Add(CaptureKind kind, uint64_t time_us, const uint8_t* data, size_t size) {
    if (fd_ < 0 || failed_) return false;
    last_time_ = std::max(last_time_, time_us);
    AppendCaptureRecord(pending_, kind, last_time_, data, size);
    return true;
}

bool CaptureWriter::Flush() {
    if (fd_ < 0 || failed_) return false;
    size_t done = 0;
    while (done < pending_.size()) {
        ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            // Whole up to the last flush: a reader never meets half of this batch.
            if (::ftruncate(fd_, static_cast<off_t>(flushed_size_)) == 0)
                ::lseek(fd_, static_cast<off_t>(flushed_size_), SEEK_SET);
            pending_.clear();
            return Fail("cannot write", error);
        }
        done += static_cast<size_t>(n);
    }
    flushed_size_ += pending_.size();
    pending_.clear();
    return true;
}

bool CaptureWriter::Close() {
    if (fd_ < 0) return !failed_;
    bool ok = Flush();
    if (ok && ::fdatasync(fd_) != 0 && errno != EINVAL) ok = Fail("cannot sync", errno);
    if (::close(fd_) != 0 && ok) ok = Fail("cannot close", errno);
    fd_ = -1;
    return ok && !failed_;
}

}  // namespace recordings
