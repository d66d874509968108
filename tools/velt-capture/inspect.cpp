#include "tools/velt-capture/inspect.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

#include "recordings/capture_file.h"

namespace capture {
namespace {

using recordings::CaptureEvent;
using recordings::CaptureKind;
using recordings::CaptureRecord;

bool Open(recordings::CaptureFileReader& reader, const std::string& path, std::FILE* err) {
    if (reader.Open(path)) return true;
    std::fprintf(err, "velt-capture: %s: %s\n", path.c_str(), reader.Error().c_str());
    return false;
}

std::string WallClock(int64_t unix_us) {
    const time_t seconds = static_cast<time_t>(std::floor(static_cast<double>(unix_us) / 1e6));
    tm t{};
    gmtime_r(&seconds, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<long long>(unix_us - static_cast<int64_t>(seconds) * 1000000));
    return text;
}

// ">" device to program, "<" program to device, " " for events.
char Direction(CaptureKind kind) {
    switch (kind) {
        case CaptureKind::DeviceBytes:
        case CaptureKind::DeviceBytesDropped:
            return '>';
        case CaptureKind::ProgramBytes:
        case CaptureKind::ProgramBytesDropped:
            return '<';
        default:
            return ' ';
    }
}

bool IsBytes(CaptureKind kind) { return Direction(kind) != ' '; }

uint64_t Le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// An event in words.
std::string Words(const CaptureRecord& r) {
    const std::string text(r.data, r.data + r.size);
    switch (r.kind) {
        case CaptureKind::DeviceLost:
            return "device lost: " + text;
        case CaptureKind::DeviceBack:
            return text.empty() ? "device back" : "device back: " + text;
        case CaptureKind::RecordsDropped:
            if (r.size < 16) return "records dropped";
            // The cause follows the counts; a note without one is the recorder's own
            // buffer that the file did not empty in time.
            return std::to_string(Le(r.data, 8)) + " records (" +
                   std::to_string(Le(r.data + 8, 8)) + " bytes) dropped: " +
                   (r.size > 16 ? text.substr(16) : std::string("the file was too slow"));
        case CaptureKind::Protocol:
            return "protocol " + (r.size > 0 ? std::to_string(r.data[0]) : std::string("?"));
        case CaptureKind::Documentation: {
            static const char* const kFields[] = {"operator", "serial", "sensor", "comment"};
            const char* field = r.size > 0 && r.data[0] < 4 ? kFields[r.data[0]] : "text";
            return std::string("documentation ") + field + ": " +
                   (r.size > 0 ? text.substr(1) : std::string());
        }
        default:
            return recordings::CaptureKindName(r.kind);
    }
}

int Finish(const recordings::CaptureFileReader& reader, const std::string& path, std::FILE* err) {
    if (!reader.Error().empty()) {
        std::fprintf(err, "velt-capture: %s: %s\n", path.c_str(), reader.Error().c_str());
        return 1;
    }
    return reader.damages() > 0 || reader.cut() ? 3 : 0;
}

// Creates out_path as a capture is created: never over an existing file unless forced.
int CreateOutput(const std::string& path, bool force, std::FILE* err) {
    std::string why;
    const int fd = recordings::OpenCaptureOutput(path, force, &why);
    if (fd < 0)
        std::fprintf(err, "velt-capture: %s%s\n", why.c_str(),
                     errno == EEXIST ? " (--force replaces it)" : "");
    return fd;
}

}  // namespace

int Dump(const std::string& path, std::FILE* out, std::FILE* err) {
    recordings::CaptureFileReader reader;
    if (!Open(reader, path, err)) return 1;
    const recordings::CaptureHeader& h = reader.header();
    std::fprintf(out, "# %s: capture version %u, protocol %d, started %s\n", path.c_str(),
                 h.version, h.protocol, WallClock(h.start_unix_us).c_str());
    if (h.version >= recordings::kCaptureVersion)
        std::fprintf(out, "# device %s (%s), host %s, written by %s\n", h.device.c_str(),
                     h.line.c_str(), h.host.c_str(), h.writer.c_str());
    CaptureEvent e;
    std::string line;
    bool skipped = false;
    bool session = false, closed = false;  // the program's own recording; its port's state
    while (reader.Next(&e)) {
        if (e.type != CaptureEvent::Record) {
            std::fprintf(out, "!! %s\n", recordings::DescribeCaptureEvent(e).c_str());
            skipped = true;
            continue;
        }
        const CaptureRecord& r = e.record;
        session = session || r.kind == CaptureKind::Clock;
        if (r.kind == CaptureKind::PortOpened || r.kind == CaptureKind::PortClosed)
            closed = r.kind == CaptureKind::PortClosed;
        char head[64];
        std::snprintf(head, sizeof head, "%12.6f %c ", static_cast<double>(r.time_us) / 1e6,
                      Direction(r.kind));
        line = head;
        if (!IsBytes(r.kind)) {
            line += Words(r);
        } else {
            char part[8];
            std::snprintf(part, sizeof part, "%5zu ", r.size);
            line += part;
            if (r.kind == CaptureKind::DeviceBytesDropped ||
                r.kind == CaptureKind::ProgramBytesDropped)
                line += "dropped ";
            for (size_t i = 0; i < r.size; ++i) {
                std::snprintf(part, sizeof part, i == 0 ? "%02X" : " %02X", r.data[i]);
                line += part;
            }
            line += "  |";
            for (size_t i = 0; i < r.size; ++i)
                line += r.data[i] >= 0x20 && r.data[i] < 0x7F ? static_cast<char>(r.data[i]) : '.';
            line += "|";
        }
        line += "\n";
        std::fputs(line.c_str(), out);
    }
    if (!reader.Error().empty()) return Finish(reader, path, err);
    // A recording program closes its file with the port; one that was killed or lost
    // its power cannot (nor does an hourly file that the next one continues).
    if (session && !closed)
        std::fprintf(out,
                     "# the session ended without a close: its program was stopped (killed, a "
                     "power loss) or the session goes on in its next file\n");
    return skipped ? 3 : 0;
}

int Cut(const std::string& path, double from_s, double to_s, const std::string& out_path,
        bool force, std::FILE* err) {
    if (!(from_s >= 0) || !(to_s > from_s) || !(to_s <= 1e9)) {
        std::fprintf(err,
                     "velt-capture: --from and --to must give 0 <= from < to <= 1e9 seconds\n");
        return 2;
    }
    recordings::CaptureFileReader reader;
    if (!Open(reader, path, err)) return 1;
    const uint64_t from = static_cast<uint64_t>(std::llround(from_s * 1e6));
    const uint64_t to = static_cast<uint64_t>(std::llround(to_s * 1e6));
    recordings::CaptureHeader header = reader.header();
    header.version = recordings::kCaptureVersion;
    header.start_unix_us += static_cast<int64_t>(from);
    const bool open_at_start = recordings::ReceivedChunks::OpenAtStart(reader);
    const int fd = CreateOutput(out_path, force, err);
    if (fd < 0) return 1;
    ::close(fd);  // made and refused as a capture is; the writer takes it from here
    recordings::CaptureWriter writer;
    if (!writer.Open(out_path, header, true)) {
        std::fprintf(err, "velt-capture: %s\n", writer.Error().c_str());
        return 1;
    }
    bool open = open_at_start, lost = false, started = false;
    int protocol = header.protocol;
    uint64_t records = 0;
    CaptureRecord r;
    while (reader.NextRecord(&r)) {
        if (r.time_us > to) break;
        if (r.time_us < from) {
            if (r.kind == CaptureKind::PortOpened) open = true;
            if (r.kind == CaptureKind::PortClosed) open = false;
            if (r.kind == CaptureKind::DeviceLost) lost = true;
            if (r.kind == CaptureKind::DeviceBack) lost = false;
            if (r.kind == CaptureKind::Protocol && r.size > 0) protocol = r.data[0];
            continue;
        }
        if (!started) {
            // The state the piece starts in, so that it reads as the whole did there.
            started = true;
            writer.Add(open ? CaptureKind::PortOpened : CaptureKind::PortClosed, 0);
            if (lost) writer.Add(CaptureKind::DeviceLost, 0);
            if (protocol != header.protocol) {
                const uint8_t p = static_cast<uint8_t>(protocol);
                writer.Add(CaptureKind::Protocol, 0, &p, 1);
            }
        }
        writer.Add(r.kind, r.time_us - from, r.data, r.size);
        ++records;
        if (records % 4096 == 0) writer.Flush();  // the piece is not held whole either
    }
    if (!writer.Close()) {
        std::fprintf(err, "velt-capture: %s\n", writer.Error().c_str());
        return 1;
    }
    std::fprintf(err, "velt-capture: wrote %s: %llu records from %.6f s to %.6f s\n",
                 out_path.c_str(), static_cast<unsigned long long>(records), from_s, to_s);
    return Finish(reader, path, err);
}

namespace {

class PcapngWriter {
public:
    explicit PcapngWriter(int fd) : fd_(fd) {}
    bool ok() const { return ok_; }
    void SectionAndInterface() {
        Block(0x0A0D0D0A, [&] {
            Put32(0x1A2B3C4D);
            Put16(1);
            Put16(0);
            Put32(0xFFFFFFFF);  // section length unknown
            Put32(0xFFFFFFFF);
        });
        Block(0x00000001, [&] {
            Put16(147);  // LINKTYPE_USER0: the serial bytes as they are
            Put16(0);
            Put32(0);                       // no snap length
            Option(2, "VELT serial link");  // if_name
            End();
        });
    }
    void Packet(uint64_t unix_us, const uint8_t* data, size_t size, uint32_t flags,
                const std::string& comment) {
        Block(0x00000006, [&] {
            Put32(0);  // interface 0
            Put32(static_cast<uint32_t>(unix_us >> 32));
            Put32(static_cast<uint32_t>(unix_us));
            Put32(static_cast<uint32_t>(size));
            Put32(static_cast<uint32_t>(size));
            Bytes(data, size);
            Pad();
            if (!comment.empty()) Option(1, comment);
            if (flags != 0) {
                Put16(2);  // epb_flags
                Put16(4);
                Put32(flags);
            }
            End();
        });
        if (buffer_.size() >= 1 << 16) Flush();
    }
    bool Flush() {
        size_t done = 0;
        while (ok_ && done < buffer_.size()) {
            const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok_ = false;
                error_ = errno;
            }
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
        buffer_.clear();
        return ok_;
    }
    int error() const { return error_; }

private:
    template <typename Body>
    void Block(uint32_t type, Body body) {
        const size_t start = buffer_.size();
        Put32(type);
        Put32(0);  // length, below
        body();
        const uint32_t length = static_cast<uint32_t>(buffer_.size() - start + 4);
        std::memcpy(buffer_.data() + start + 4, &length, 4);
        Put32(length);
    }
    void Put16(uint16_t v) { Bytes(reinterpret_cast<const uint8_t*>(&v), 2); }
    void Put32(uint32_t v) { Bytes(reinterpret_cast<const uint8_t*>(&v), 4); }
    void Bytes(const uint8_t* p, size_t n) { buffer_.insert(buffer_.end(), p, p + n); }
    void Pad() {
        while (buffer_.size() % 4 != 0) buffer_.push_back(0);
    }
    void Option(uint16_t code, const std::string& text) {
        Put16(code);
        Put16(static_cast<uint16_t>(text.size()));
        Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        Pad();
    }
    void End() { Put32(0); }  // opt_endofopt

    int fd_;
    bool ok_ = true;
    int error_ = 0;
    std::vector<uint8_t> buffer_;
};

}  // namespace

int ToPcapng(const std::string& path, const std::string& out_path, bool force, std::FILE* err) {
    recordings::CaptureFileReader reader;
    if (!Open(reader, path, err)) return 1;
    const int fd = CreateOutput(out_path, force, err);
    if (fd < 0) return 1;
    PcapngWriter pcap(fd);
    pcap.SectionAndInterface();
    const uint64_t start = static_cast<uint64_t>(reader.header().start_unix_us);
    CaptureRecord r;
    uint64_t packets = 0;
    while (reader.NextRecord(&r)) {
        // Inbound: towards the program (the host's side of the link).
        const char d = Direction(r.kind);
        const uint32_t flags = d == '>' ? 1u : d == '<' ? 2u : 0u;
        std::string comment;
        if (!IsBytes(r.kind)) {
            comment = Words(r);
        } else if (r.kind == CaptureKind::DeviceBytesDropped ||
                   r.kind == CaptureKind::ProgramBytesDropped) {
            comment = "dropped: never handed on";
        }
        const bool bytes = IsBytes(r.kind);
        pcap.Packet(start + r.time_us, bytes ? r.data : nullptr, bytes ? r.size : 0, flags,
                    comment);
        ++packets;
    }
    const bool written = pcap.Flush();
    const int error = pcap.error();
    if (::close(fd) != 0 || !written) {
        std::fprintf(err, "velt-capture: cannot write %s: %s\n", out_path.c_str(),
                     std::strerror(written ? errno : error));
        return 1;
    }
    std::fprintf(err, "velt-capture: wrote %s: %llu packets\n", out_path.c_str(),
                 static_cast<unsigned long long>(packets));
    return Finish(reader, path, err);
}

}  // namespace capture
