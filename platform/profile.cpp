// Private-profile files written by hand: QSettings and friends reorder keys, drop
// comments and use other escapes, and the file format is shared with Windows.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/profile_testing.h"

namespace platform {
namespace {

std::atomic<ProfileWriteFunction> g_write_function{nullptr};
std::atomic<unsigned> g_temp_counter{0};
std::atomic<const ProfileFiles*> g_files{nullptr};

// One writer at a time in this process: each save reads, edits and replaces the
// whole file, so two interleaved saves would drop one of the edits.
std::mutex& WriteMutex() {
    static std::mutex m;
    return m;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

enum class LineKind { kOther, kSection, kKey };

struct Line {
    std::string_view raw;  // without its line end
    LineKind kind = LineKind::kOther;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // raw value text, trimmed (keys only)
    int section = -1;        // index into Parsed::sections of the enclosing section
};

struct Parsed {
    bool bom = false;
    std::vector<Line> lines;
    std::vector<size_t> sections;  // line index of each section header, in file order
};

void Classify(Line& line) {
    std::string_view t = Trim(line.raw);
    if (t.empty() || t.front() == ';' || t.front() == '#') return;
    if (t.front() == '[') {
        std::string_view inner = t.substr(1);
        size_t close = inner.find(']');
        line.kind = LineKind::kSection;
        line.name = Trim(inner.substr(0, close));
        return;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return;
    line.kind = LineKind::kKey;
    line.name = Trim(t.substr(0, eq));
    line.value = Trim(t.substr(eq + 1));
}

// Walks the file line by line without copying it. Line ends may be CR LF, LF or a
// lone CR; a last line without one counts too.
class LineScanner {
public:
    explicit LineScanner(std::string_view text) : text_(text) {
        if (text_.substr(0, kBom.size()) == kBom) {
            bom_ = true;
            text_.remove_prefix(kBom.size());
        }
        next_cr_ = Find('\r');
        next_lf_ = Find('\n');
    }
    bool Bom() const { return bom_; }

    bool Next(Line& line) {
        if (pos_ >= text_.size()) return false;
        // The next CR and the next LF are each found once, not looked for again at
        // every character as a search for either would.
        if (next_cr_ < pos_) next_cr_ = Find('\r');
        if (next_lf_ < pos_) next_lf_ = Find('\n');
        const size_t end = std::min(next_cr_, next_lf_);
        line = Line{};
        line.raw = text_.substr(pos_, end - pos_);
        Classify(line);
        pos_ = end + 1;
        if (end < text_.size() && text_[end] == '\r' && pos_ < text_.size() &&
            text_[pos_] == '\n') {
            ++pos_;
        }
        return true;
    }

private:
    size_t Find(char c) const {
        if (pos_ >= text_.size()) return text_.size();
        const void* at = std::memchr(text_.data() + pos_, c, text_.size() - pos_);
        return at ? static_cast<size_t>(static_cast<const char*>(at) - text_.data()) : text_.size();
    }

    std::string_view text_;
    size_t pos_ = 0;
    size_t next_cr_;  // where the next CR is, or the text's size
    size_t next_lf_;
    bool bom_ = false;
};

// The whole file as lines, for an edit.
Parsed Parse(std::string_view text) {
    Parsed p;
    LineScanner scanner(text);
    p.bom = scanner.Bom();
    int section = -1;
    Line line;
    while (scanner.Next(line)) {
        if (line.kind == LineKind::kSection) {
            p.sections.push_back(p.lines.size());
            section = static_cast<int>(p.sections.size()) - 1;
        }
        line.section = section;
        p.lines.push_back(line);
    }
    return p;
}

bool InSection(const Parsed& p, const Line& line, std::string_view section) {
    return line.section >= 0 &&
           SameName(p.lines[p.sections[static_cast<size_t>(line.section)]].name, section);
}

// The first key line of that name in any section of that name, in file order.
const Line* FindKey(const Parsed& p, std::string_view section, std::string_view key) {
    for (const Line& line : p.lines) {
        if (line.kind == LineKind::kKey && SameName(line.name, key) &&
            InSection(p, line, section)) {
            return &line;
        }
    }
    return nullptr;
}

std::string Unescape(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            char n = v[i + 1];
            if (n == '\\' || n == 'r' || n == 'n') {
                out.push_back(n == '\\' ? '\\' : n == 'r' ? '\r' : '\n');
                ++i;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

std::string Escape(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string ValueOf(std::string_view raw) {
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
        raw = raw.substr(1, raw.size() - 2);
    }
    return Unescape(raw);
}

// Reads the whole file. Returns 0, or the errno value of the failure.
int ReadWhole(const std::string& path, std::string& out) {
    out.clear();
    if (path.empty()) return ENOENT;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            out.clear();
            return err;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

int ReadFile(const std::string& path, std::string& out) {
    const ProfileFiles* files = g_files.load();
    return files != nullptr ? files->read(path, out) : ReadWhole(path, out);
}

ssize_t CallWrite(int fd, const void* data, size_t size) {
    ProfileWriteFunction f = g_write_function.load();
    return f ? f(fd, data, size) : ::write(fd, data, size);
}

bool WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = CallWrite(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Replaces the file by a complete new one: a temporary file in the same directory,
// flushed to disk and renamed over the old one, so a crash or a full disk leaves
// either the old or the new file.
bool ReplaceFile(const std::string& path, const std::string& data) {
    std::string target = path;
    struct stat st {};
    bool existed = false;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // Keep the link: replace what it points to.
            char* real = realpath(path.c_str(), nullptr);
            if (real != nullptr) {
                target = real;
                std::free(real);
            }
        }
        existed = stat(target.c_str(), &st) == 0;
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp." + std::to_string(getpid()) + "." +
               std::to_string(g_temp_counter.fetch_add(1));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data);
    if (ok && existed) ok = fchmod(fd, st.st_mode & 07777) == 0;
    if (ok) ok = fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = err;
        return false;
    }
    // The rename itself reaches the disk with the directory.
    int dfd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool SaveFile(const std::string& path, const std::string& data) {
    const ProfileFiles* files = g_files.load();
    return files != nullptr ? files->replace(path, data) : ReplaceFile(path, data);
}

bool ValidSection(std::string_view s) {
    return !s.empty() && s.find(']') == std::string_view::npos;
}

bool ValidKey(std::string_view k) {
    return !k.empty() && k.find('=') == std::string_view::npos && k.front() != ';' &&
           k.front() != '#' && k.front() != '[';
}

void AppendLine(std::string& out, std::string_view line) {
    out.append(line);
    out += "\r\n";
}

// The new file text for one write. value == nullptr deletes the key, key == nullptr
// the section.
std::string Edit(const Parsed& p, std::string_view section, const char* key, const char* value) {
    std::string out;
    if (p.bom) out.append(kBom);
    const size_t count = p.lines.size();

    if (key == nullptr) {
        for (const Line& line : p.lines) {
            if (!InSection(p, line, section)) AppendLine(out, line.raw);
        }
        return out;
    }
    std::string_view k = Trim(key);
    if (value == nullptr) {
        for (const Line& line : p.lines) {
            bool drop = line.kind == LineKind::kKey && SameName(line.name, k) &&
                        InSection(p, line, section);
            if (!drop) AppendLine(out, line.raw);
        }
        return out;
    }

    std::string entry;
    const Line* existing = FindKey(p, section, k);
    entry.append(existing ? existing->name : k);
    entry += '=';
    entry += Escape(value);

    size_t insert_after = count;  // line index after which the new key goes
    bool new_section = false;
    if (existing == nullptr) {
        auto header = std::find_if(p.sections.begin(), p.sections.end(),
                                   [&](size_t i) { return SameName(p.lines[i].name, section); });
        if (header == p.sections.end()) {
            new_section = true;
        } else {
            int index = static_cast<int>(header - p.sections.begin());
            insert_after = *header;
            for (size_t i = *header + 1; i < count && p.lines[i].section == index; ++i) {
                if (!Trim(p.lines[i].raw).empty()) insert_after = i;
            }
        }
    }
    for (size_t i = 0; i < count; ++i) {
        const Line& line = p.lines[i];
        AppendLine(out, &line == existing ? std::string_view(entry) : line.raw);
        if (i == insert_after) AppendLine(out, entry);
    }
    if (new_section) {
        out += '[';
        out.append(section);
        out += "]\r\n";
        AppendLine(out, entry);
    }
    return out;
}

// The value text of the first key of that name in any section of that name, in
// file order; reads answer from one pass over the text, without a copy of it.
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view& value) {
    LineScanner scanner(text);
    bool in_section = false;
    Line line;
    while (scanner.Next(line)) {
        if (line.kind == LineKind::kSection) {
            in_section = SameName(line.name, section);
        } else if (line.kind == LineKind::kKey && in_section && SameName(line.name, key)) {
            value = line.value;
            return true;
        }
    }
    return false;
}

// Names each followed by a NUL, the first spelling of each in file order.
class NameList {
public:
    void Add(std::string_view name) {
        const size_t kept = std::min(count_, kInline);
        for (size_t i = 0; i < kept; ++i) {
            if (SameName(inline_[i], name)) return;
        }
        for (std::string_view seen : more_) {
            if (SameName(seen, name)) return;
        }
        if (count_ < kInline) {
            inline_[count_] = name;
        } else {
            more_.push_back(name);
        }
        ++count_;
        out_.append(name);
        out_ += '\0';
    }
    std::string Take() { return std::move(out_); }

private:
    // Most sections hold a few dozen keys: those need no list of their own.
    static constexpr size_t kInline = 32;
    std::string_view inline_[kInline];
    std::vector<std::string_view> more_;
    size_t count_ = 0;
    std::string out_;
};

std::string Names(std::string_view text, const char* section) {
    NameList names;
    LineScanner scanner(text);
    Line line;
    if (section == nullptr) {
        while (scanner.Next(line)) {
            if (line.kind == LineKind::kSection) names.Add(line.name);
        }
        return names.Take();
    }
    const std::string_view s = Trim(section);
    bool in_section = false;
    while (scanner.Next(line)) {
        if (line.kind == LineKind::kSection) {
            in_section = SameName(line.name, s);
        } else if (line.kind == LineKind::kKey && in_section) {
            names.Add(line.name);
        }
    }
    return names.Take();
}

}  // namespace

void SetProfileWriteFunctionForTesting(ProfileWriteFunction function) {
    g_write_function.store(function);
}

void SetProfileFilesForTesting(const ProfileFiles* files) { g_files.store(files); }

std::string GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                                    const std::string& path) {
    std::string text;
    ReadFile(path, text);
    if (section == nullptr || key == nullptr) return Names(text, section);
    std::string_view value;
    if (!FindValue(text, Trim(section), Trim(key), value)) {
        // A default loses its trailing blanks, as a stored value would.
        std::string_view d = default_value ? default_value : "";
        while (!d.empty() && d.back() == ' ') d.remove_suffix(1);
        return std::string(d);
    }
    return ValueOf(value);
}

size_t GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                               char* buffer, size_t size, const std::string& path) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value = GetPrivateProfileString(section, key, default_value, path);
    if (section == nullptr || key == nullptr) {
        // A list: names each NUL-terminated plus one more NUL.
        if (value.size() + 1 <= size) {
            std::memcpy(buffer, value.data(), value.size());
            buffer[value.size()] = 0;
            if (value.empty() && size >= 2) buffer[1] = 0;
            return value.size();
        }
        if (size < 2) {
            buffer[0] = 0;
            return 0;
        }
        std::memcpy(buffer, value.data(), size - 2);
        buffer[size - 2] = 0;
        buffer[size - 1] = 0;
        return size - 2;
    }
    size_t n = std::min(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = 0;
    return n;
}

int GetPrivateProfileInt(const char* section, const char* key, int default_value,
                         const std::string& path) {
    if (section == nullptr || key == nullptr) return default_value;
    std::string value = GetPrivateProfileString(section, key, "", path);
    if (value.empty()) return default_value;
    // An optional sign and the decimal digits up to the first other character, in
    // 32-bit arithmetic that wraps: a long digit string keeps its low 32 bits.
    size_t i = 0;
    const bool negative = value[0] == '-';
    if (value[0] == '-' || value[0] == '+') ++i;
    uint32_t v = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        v = v * 10u + static_cast<uint32_t>(value[i] - '0');
    }
    if (negative) v = 0u - v;
    return static_cast<int>(v);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& path) {
    if (section == nullptr || path.empty()) {
        errno = section == nullptr ? EINVAL : ENOENT;
        return false;
    }
    std::string_view s = Trim(section);
    if (!ValidSection(s) || (key != nullptr && !ValidKey(Trim(key)))) {
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> lock(WriteMutex());
    std::string text;
    int err = ReadFile(path, text);
    // Never replace a file that exists but cannot be read: its keys would be lost.
    if (err != 0 && err != ENOENT) {
        errno = err;
        return false;
    }
    if (err == ENOENT && (key == nullptr || value == nullptr)) return true;  // nothing to delete
    std::string edited = Edit(Parse(text), s, key, value);
    if (edited == text) return true;
    return SaveFile(path, edited);
}

}  // namespace platform
