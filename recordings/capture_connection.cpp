#include "recordings/capture_connection.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace recordings {
namespace {

// The last records are near the end: a tail this long holds them.
constexpr uint64_t kTailBytes = 256 * 1024;
// The clock record is a session file's first; a few records are looked at for it.
constexpr int kClockRecords = 8;

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string Parts(uint32_t first, uint32_t last) {
    return first == last
               ? "part " + std::to_string(first) + " is"
               : "parts " + std::to_string(first) + " to " + std::to_string(last) + " are";
}

}  // namespace

bool FindConnectionFiles(const std::string& path, std::vector<std::string>* files,
                         std::string* error) {
    files->clear();
    CaptureFileReader reader;
    if (!reader.Open(path)) {
        *error = reader.Error();
        return false;
    }
    const std::string connection = reader.header().connection;
    if (connection.empty()) {
        files->push_back(path);
        return true;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string prefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = BaseName(path);
    const size_t dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    std::vector<std::pair<uint32_t, std::string>> found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string other = e->d_name;
            if (other.size() <= ext.size() ||
                other.compare(other.size() - ext.size(), ext.size(), ext) != 0)
                continue;
            const std::string other_path = prefix + other;
            if (other == name) {
                found.emplace_back(reader.header().part, path);
                continue;
            }
            CaptureFileReader r;
            if (r.Open(other_path) && r.header().connection == connection)
                found.emplace_back(r.header().part, other_path);
        }
        ::closedir(d);
    }
    if (found.empty()) found.emplace_back(reader.header().part, path);  // a folder not listable
    std::sort(found.begin(), found.end());
    // A part found twice (a copy beside it) is taken once: the file given, else the
    // first by name.
    for (size_t i = 0; i < found.size(); ++i) {
        if (!files->empty() && i > 0 && found[i].first == found[i - 1].first) {
            if (found[i].second == path) files->back() = path;
            continue;
        }
        files->push_back(found[i].second);
    }
    return true;
}

bool CaptureConnectionReader::Open(const std::vector<std::string>& paths) {
    parts_.clear();
    readers_.clear();
    clocks_.clear();
    error_.clear();
    current_ = 0;
    if (paths.empty()) {
        error_ = "no capture file given";
        return false;
    }
    for (const std::string& path : paths) {
        auto reader = std::make_unique<CaptureFileReader>();
        if (!reader->Open(path)) {
            error_ = paths.size() > 1 ? "\"" + path + "\": " + reader->Error() : reader->Error();
            return false;
        }
        if (!parts_.empty()) {
            const CaptureHeader& first = parts_.front().header;
            const CaptureHeader& h = reader->header();
            if (h.connection != first.connection) {
                error_ = "\"" + path + "\" is not part of the connection of \"" +
                         parts_.front().path + "\"";
                return false;
            }
            if (!first.connection.empty() && h.part <= parts_.back().header.part) {
                error_ = "\"" + path + "\" (part " + std::to_string(h.part) +
                         ") does not follow \"" + parts_.back().path + "\" (part " +
                         std::to_string(parts_.back().header.part) + ")";
                return false;
            }
        }
        if (!AddPart(std::move(reader), path)) return false;
    }
    return Seek(records_start());
}

bool CaptureConnectionReader::Open(std::unique_ptr<CaptureByteSource> source) {
    parts_.clear();
    readers_.clear();
    clocks_.clear();
    error_.clear();
    current_ = 0;
    auto reader = std::make_unique<CaptureFileReader>();
    if (!reader->Open(std::move(source))) {
        error_ = reader->Error();
        return false;
    }
    return AddPart(std::move(reader), "") && Seek(records_start());
}

bool CaptureConnectionReader::AddPart(std::unique_ptr<CaptureFileReader> reader,
                                      const std::string& path) {
    CapturePart part;
    part.path = path;
    part.header = reader->header();
    part.bytes = FileSize(path);
    uint64_t clock = 0;
    CaptureRecord r;
    reader->Seek(reader->records_start());
    for (int n = 0; n < kClockRecords && reader->NextRecord(&r); ++n) {
        if (r.kind != CaptureKind::Clock || r.size != 8) continue;
        for (int i = 7; i >= 0; --i) clock = clock << 8 | r.data[i];
        clock -= std::min(clock, r.time_us);
        break;
    }
    // Version 2 starts reading anywhere: the tail holds the last records.
    uint64_t from = reader->records_start();
    if (part.header.version >= 2 && part.bytes > from + kTailBytes) from = part.bytes - kTailBytes;
    for (;;) {
        reader->Seek(from);
        bool any = false;
        while (reader->NextRecord(&r)) {
            part.duration_us = r.time_us;
            any = true;
            if (r.kind == CaptureKind::PortOpened || r.kind == CaptureKind::PortClosed)
                part.closed = r.kind == CaptureKind::PortClosed;
        }
        if (any || from == reader->records_start()) break;
        from = reader->records_start();  // a damaged tail: read it all
    }
    if (!reader->Error().empty()) {
        error_ = path.empty() ? reader->Error() : "\"" + path + "\": " + reader->Error();
        return false;
    }
    // What the look-ahead passed over is counted again when the records are read.
    auto fresh = std::make_unique<CaptureFileReader>();
    if (!path.empty() && fresh->Open(path)) reader = std::move(fresh);
    parts_.push_back(std::move(part));
    readers_.push_back(std::move(reader));
    clocks_.push_back(clock);
    Place(parts_.size() - 1);
    return true;
}

void CaptureConnectionReader::Place(size_t i) {
    if (i == 0) return;
    CapturePart& part = parts_[i];
    int64_t at = 0;
    if (clocks_[i] != 0 && clocks_[0] != 0 && !part.header.connection.empty())
        at = static_cast<int64_t>(clocks_[i]) - static_cast<int64_t>(clocks_[0]);
    else
        at = part.header.start_unix_us - parts_[0].header.start_unix_us;
    part.start_us = at > 0 ? static_cast<uint64_t>(at) : 0;
    // Times never go back: the files overlap by the moments in which the one before
    // took its last records while this one was being begun. Those of its records stay
    // at the end of the one before; the rest keep their own time, so no seam moves
    // the files after it.
    part.begin_us = std::max(part.start_us, End(i - 1));
}

uint64_t CaptureConnectionReader::End(size_t i) const {
    return std::max(parts_[i].begin_us, parts_[i].start_us + parts_[i].duration_us);
}

uint64_t CaptureConnectionReader::Time(uint64_t part_time_us) const {
    const CapturePart& part = parts_[current_];
    return std::max(part.begin_us, part.start_us + part_time_us);
}

std::vector<std::string> CaptureConnectionReader::Missing() const {
    std::vector<std::string> out;
    const CapturePart& first = parts_.front();
    if (first.header.connection.empty()) return out;
    if (first.header.part > 1)
        out.push_back(Parts(1, first.header.part - 1) + " missing (before " + BaseName(first.path) +
                      ")");
    for (size_t i = 1; i < parts_.size(); ++i) {
        const uint32_t a = parts_[i - 1].header.part, b = parts_[i].header.part;
        if (b > a + 1)
            out.push_back(Parts(a + 1, b - 1) + " missing (between " +
                          BaseName(parts_[i - 1].path) + " and " + BaseName(parts_[i].path) + ")");
    }
    return out;
}

uint64_t CaptureConnectionReader::Duration() const {
    return parts_.empty() ? 0 : End(parts_.size() - 1);
}

uint64_t CaptureConnectionReader::TotalBytes() const {
    uint64_t n = 0;
    for (const CapturePart& p : parts_) n += p.bytes;
    return n;
}

uint64_t CaptureConnectionReader::BytesDone() const {
    uint64_t n = 0;
    for (size_t i = 0; i < current_ && i < parts_.size(); ++i) n += parts_[i].bytes;
    return current_ < readers_.size() ? n + readers_[current_]->offset() : n;
}

bool CaptureConnectionReader::NextPart() {
    CaptureFileReader& reader = *readers_[current_];
    if (!reader.Error().empty()) {
        error_ = parts_.size() > 1 ? "\"" + parts_[current_].path + "\": " + reader.Error()
                                   : reader.Error();
        return false;
    }
    if (current_ + 1 >= readers_.size()) return false;
    ++current_;
    return readers_[current_]->Seek(readers_[current_]->records_start());
}

bool CaptureConnectionReader::Next(CaptureEvent* event) {
    if (readers_.empty()) return false;
    do {
        if (readers_[current_]->Next(event)) {
            if (event->type == CaptureEvent::Record) {
                event->record.time_us = Time(event->record.time_us);
                event->record.offset |= static_cast<uint64_t>(current_) << kPartShift;
            }
            return true;
        }
    } while (NextPart());
    return false;
}

bool CaptureConnectionReader::NextRecord(CaptureRecord* record) {
    if (readers_.empty()) return false;
    do {
        if (readers_[current_]->NextRecord(record)) {
            record->time_us = Time(record->time_us);
            record->offset |= static_cast<uint64_t>(current_) << kPartShift;
            return true;
        }
    } while (NextPart());
    return false;
}

bool CaptureConnectionReader::Seek(uint64_t offset) {
    const size_t part = static_cast<size_t>(offset >> kPartShift);
    if (part >= readers_.size()) return false;
    current_ = part;
    return readers_[part]->Seek(offset & ((uint64_t{1} << kPartShift) - 1));
}

uint64_t CaptureConnectionReader::records_start() const {
    return readers_.empty() ? 0 : readers_.front()->records_start();
}

uint64_t CaptureConnectionReader::offset() const {
    if (current_ >= readers_.size()) return 0;
    return readers_[current_]->offset() | static_cast<uint64_t>(current_) << kPartShift;
}

bool CaptureConnectionReader::OpenAtStart() {
    if (readers_.empty()) return true;
    const bool open = ReceivedChunks::OpenAtStart(*readers_.front());
    Seek(records_start());
    return open;
}

uint64_t CaptureConnectionReader::damaged_bytes() const {
    uint64_t n = 0;
    for (const auto& r : readers_) n += r->damaged_bytes();
    return n;
}

unsigned CaptureConnectionReader::damages() const {
    unsigned n = 0;
    for (const auto& r : readers_) n += r->damages();
    return n;
}

bool CaptureConnectionReader::cut() const {
    return std::any_of(readers_.begin(), readers_.end(), [](const auto& r) { return r->cut(); });
}

uint64_t CaptureConnectionReader::cut_at() const {
    for (const auto& r : readers_)
        if (r->cut()) return r->cut_at();
    return 0;
}

const CaptureEvent& CaptureConnectionReader::first_damage() const {
    for (const auto& r : readers_)
        if (r->damages() > 0) return r->first_damage();
    return readers_.front()->first_damage();
}

std::string CaptureConnectionReader::DamagePath() const {
    for (size_t i = 0; parts_.size() > 1 && i < readers_.size(); ++i)
        if (readers_[i]->damages() > 0) return parts_[i].path;
    return "";
}

std::string CaptureConnectionReader::CutPath() const {
    for (size_t i = 0; parts_.size() > 1 && i < readers_.size(); ++i)
        if (readers_[i]->cut()) return parts_[i].path;
    return "";
}

}  // namespace recordings
