#include "recordings/capture_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recordings {
namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

bool KnownKind(uint8_t kind) {
    return kind >= static_cast<uint8_t>(CaptureKind::DeviceBytes) &&
           kind <= static_cast<uint8_t>(CaptureKind::DeviceBack);
}

}  // namespace

void AppendCaptureHeader(std::vector<uint8_t>& out, const CaptureHeader& header) {
    out.insert(out.end(), std::begin(kCaptureMagic), std::end(kCaptureMagic));
    PutLe(out, header.version, 2);
    PutLe(out, kCaptureHeaderSize, 2);
    out.push_back(static_cast<uint8_t>(header.protocol));
    PutLe(out, 0, 3);
    PutLe(out, static_cast<uint64_t>(header.start_unix_ms), 8);
}

void AppendCaptureRecord(std::vector<uint8_t>& out, CaptureKind kind, uint32_t time_ms,
                         const uint8_t* data, size_t size) {
    do {
        size_t n = size < kCaptureMaxChunk ? size : kCaptureMaxChunk;
        out.push_back(static_cast<uint8_t>(kind));
        PutLe(out, time_ms, 4);
        PutLe(out, n, 2);
        if (n > 0) out.insert(out.end(), data, data + n);
        data += n;
        size -= n;
    } while (size > 0);
}

CaptureReader::CaptureReader(const uint8_t* data, size_t size) : data_(data), size_(size) {
    // A file cut inside its magic is still a capture whose header was cut short.
    const size_t magic = size < sizeof kCaptureMagic ? size : sizeof kCaptureMagic;
    if (size == 0 || std::memcmp(data, kCaptureMagic, magic) != 0) {
        status_ = Status::NotACapture;
        return;
    }
    if (size < kCaptureHeaderSize) {
        status_ = Status::BadHeader;
        header_cut_ = true;
        return;
    }
    header_.version = static_cast<uint16_t>(GetLe(data + 8, 2));
    if (header_.version != kCaptureVersion) {
        status_ = Status::UnsupportedVersion;
        return;
    }
    // A later revision may make the header longer; its own size says where records start.
    size_t header_size = GetLe(data + 10, 2);
    if (header_size < kCaptureHeaderSize || size < header_size) {
        status_ = Status::BadHeader;
        header_cut_ = header_size >= kCaptureHeaderSize;
        return;
    }
    header_.protocol = data[12];
    header_.start_unix_ms = static_cast<int64_t>(GetLe(data + 16, 8));
    if (header_.protocol < 1 || header_.protocol > 3) {
        status_ = Status::BadHeader;
        return;
    }
    offset_ = header_size;
}

std::string CaptureReader::Error() const {
    switch (status_) {
        case Status::Ok:
            return "";
        case Status::NotACapture:
            return "not a capture file (no VELT-CAP header)";
        case Status::UnsupportedVersion:
            return "capture format version " + std::to_string(header_.version) +
                   " is not supported (this program reads version " +
                   std::to_string(kCaptureVersion) + ")";
        case Status::BadHeader:
            if (header_cut_) return "capture header cut short";
            if (header_.protocol < 1 || header_.protocol > 3)
                return "capture header names protocol " + std::to_string(header_.protocol) +
                       " (known: 1, 2, 3)";
            return "capture header is damaged (header size below 24)";
    }
    return "";
}

bool CaptureReader::Next(CaptureRecord* record) {
    while (status_ == Status::Ok && !truncated_ && offset_ < size_) {
        if (size_ - offset_ < kCaptureRecordHeaderSize) {
            truncated_ = true;
            return false;
        }
        const uint8_t* p = data_ + offset_;
        size_t length = GetLe(p + 5, 2);
        if (size_ - offset_ - kCaptureRecordHeaderSize < length) {
            truncated_ = true;
            return false;
        }
        offset_ += kCaptureRecordHeaderSize + length;
        if (!KnownKind(p[0])) continue;
        record->kind = static_cast<CaptureKind>(p[0]);
        record->time_ms = static_cast<uint32_t>(GetLe(p + 1, 4));
        record->data = p + kCaptureRecordHeaderSize;
        record->size = length;
        return true;
    }
    return false;
}

CaptureWriter::~CaptureWriter() { Close(); }

bool CaptureWriter::Fail(const char* what, int error) {
    if (!failed_) error_ = std::string(what) + " " + path_ + ": " + std::strerror(error);
    failed_ = true;
    return false;
}

bool CaptureWriter::Open(const std::string& path, const CaptureHeader& header) {
    Close();
    path_ = path;
    error_.clear();
    failed_ = false;
    flushed_size_ = 0;
    pending_.clear();
    // A reader would refuse the whole file, so it is not written at all.
    if (header.protocol < 1 || header.protocol > 3 || header.version != kCaptureVersion) {
        failed_ = true;
        error_ = "cannot create " + path + ": protocol " + std::to_string(header.protocol) +
                 " or version " + std::to_string(header.version) + " is not one this format has";
        return false;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return Fail("cannot create", errno);
    AppendCaptureHeader(pending_, header);
    return Flush();
}

bool CaptureWriter::Add(CaptureKind kind, uint32_t time_ms, const uint8_t* data, size_t size) {
    if (fd_ < 0 || failed_) return false;
    AppendCaptureRecord(pending_, kind, time_ms, data, size);
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
