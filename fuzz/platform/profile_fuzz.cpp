// Any bytes as an INI file: reads must not crash, and a write must change exactly
// the key it names and read back as written.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/profile.h"
#include "platform/profile_testing.h"

namespace {

std::vector<std::string> SplitNames(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\0', start);
        if (end == std::string::npos) end = list.size();
        names.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || (s.front() >= '\t' && s.front() <= '\f')) &&
           s.front() != '\n') {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || (s.back() >= '\t' && s.back() <= '\f')) &&
           s.back() != '\n') {
        s.remove_suffix(1);
    }
    return s;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "profile_fuzz: %s\n", what);
        std::abort();
    }
}

bool SameName(const std::string& a, const std::string& b) {
    std::string_view x = Trim(a), y = Trim(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(x[i])) !=
            std::tolower(static_cast<unsigned char>(y[i]))) {
            return false;
        }
    }
    return true;
}

struct Entry {
    std::string section, key, value;
};

// The file lives in memory: parsing and editing are under test, not the disk.
std::string g_file;
bool g_exists = false;

int ReadMemory(const std::string&, std::string& text) {
    text = g_exists ? g_file : std::string();
    return g_exists ? 0 : ENOENT;
}

bool ReplaceMemory(const std::string&, const std::string& text) {
    g_file = text;
    g_exists = true;
    return true;
}

const platform::ProfileFiles kMemory{ReadMemory, ReplaceMemory};

// Every query parses the whole file: beyond a few kilobytes and a few dozen keys
// an input only repeats what smaller ones reach, more slowly.
constexpr size_t kMaxInput = 1024;
constexpr size_t kMaxEntries = 16;
constexpr size_t kBufferReads = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool memory = [] {
        platform::SetProfileFilesForTesting(&kMemory);
        return true;
    }();
    (void)memory;
    const std::string path = "fuzz.ini";
    g_file.assign(reinterpret_cast<const char*>(data), std::min(size, kMaxInput));
    g_exists = size > 0;  // no bytes: no file, so the write creates it

    std::vector<Entry> entries;
    for (const std::string& s :
         SplitNames(platform::GetPrivateProfileString(nullptr, nullptr, "", path))) {
        for (const std::string& k :
             SplitNames(platform::GetPrivateProfileString(s.c_str(), nullptr, "", path))) {
            if (entries.size() >= kMaxEntries) break;
            entries.push_back(
                {s, k,
                 platform::GetPrivateProfileString(s.c_str(), k.c_str(), "\x01missing", path)});
            // Every query parses the whole file again: the first few keys stand for
            // the rest in the buffer and number reads.
            if (entries.size() > kBufferReads) continue;
            char small[8];
            size_t n = platform::GetPrivateProfileString(s.c_str(), k.c_str(), "", small,
                                                         sizeof small, path);
            Check(n < sizeof small && small[n] == 0, "buffer overrun");
            platform::GetPrivateProfileInt(s.c_str(), k.c_str(), -7, path);
        }
    }

    const std::string value = "fuzz \\ line\r\nnext\rlast\n";
    std::string section = entries.empty() ? "new" : entries.front().section;
    std::string key = entries.empty() ? "key" : entries.front().key;
    if (platform::WritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(), path)) {
        Check(platform::GetPrivateProfileString(section.c_str(), key.c_str(), "", path) == value,
              "written value does not read back");
        for (size_t i = 1; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            // Names cut at a NUL may alias the written one in another case.
            if (SameName(e.key, key) && SameName(e.section, section)) continue;
            Check(platform::GetPrivateProfileString(e.section.c_str(), e.key.c_str(), "\x01missing",
                                                    path) == e.value,
                  "a write changed another key");
        }
    }
    if (platform::WritePrivateProfileString(section.c_str(), key.c_str(), nullptr, path)) {
        Check(platform::GetPrivateProfileString(section.c_str(), key.c_str(), "\x01gone", path) ==
                  "\x01gone",
              "deleted key still reads");
    }
    return 0;
}
