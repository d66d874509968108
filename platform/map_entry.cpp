#include "platform/map_entry.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/debug_output.h"
#include "platform/system_info.h"

namespace platform {
namespace {

constexpr const char* kNoteSuffix = ".taken";
constexpr const char* kNoteFirstLine = "velt map note 1";

struct Note {
    long pid = 0;
    std::string started;  // the process's start time (/proc/<pid>/stat field 22)
    std::string who, target, previous;
    bool had_previous = false;
};

std::string ProcessStart(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return "";
    // The command name may hold spaces and parentheses: fields count from the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) return field;
    return "";
}

// A pid alone could be a new process that took the number.
bool Running(const Note& n) {
    if (n.pid <= 0) return false;
    if (kill(static_cast<pid_t>(n.pid), 0) != 0 && errno == ESRCH) return false;
    const std::string start = ProcessStart(n.pid);
    return start.empty() || start == n.started;
}

std::string LinkText(const std::string& path, bool* exists) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    struct stat st {};
    *exists = n >= 0 || lstat(path.c_str(), &st) == 0;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool PointAt(const std::string& entry, const std::string& target) {
    const std::string tmp = entry + ".tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), entry.c_str()) == 0)
        return true;
    const int e = errno;
    unlink(tmp.c_str());
    errno = e;
    return false;
}

bool ReadNote(const std::string& path, Note* note) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != kNoteFirstLine) return false;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "pid") note->pid = std::atol(value.c_str());
        if (key == "started") note->started = value;
        if (key == "by") note->who = value;
        if (key == "target") note->target = value;
        if (key == "previous") {
            note->previous = value;
            note->had_previous = true;
        }
    }
    return !note->target.empty();
}

// Written whole under another name and renamed: a note is never half there.
bool WriteNote(const std::string& path, const Note& n, std::string* error) {
    const std::string tmp = path + ".tmp";
    std::string text = std::string(kNoteFirstLine) + "\npid " + std::to_string(n.pid) +
                       "\nstarted " + n.started + "\nby " + n.who + "\ntarget " + n.target + "\n";
    if (n.had_previous) text += "previous " + n.previous + "\n";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int e = errno;
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    *error = "cannot keep a note beside the entry: " + std::string(std::strerror(ok ? errno : e));
    unlink(tmp.c_str());
    return false;
}

// Puts the entry back as the note says; the message, and false when it failed.
bool PutBack(const std::string& entry, const Note& n, std::string* message) {
    bool exists = false;
    const std::string now = LinkText(entry, &exists);
    bool ok = true;
    message->clear();
    if (exists && now == n.target) {
        if (!n.had_previous) {
            ok = unlink(entry.c_str()) == 0;
            if (ok) *message = entry + " removed (it was not mapped before)";
        } else {
            ok = PointAt(entry, n.previous);
            if (ok) *message = entry + " points at " + n.previous + " again";
        }
        if (!ok)
            *message = "cannot put " + entry + " back" +
                       (n.had_previous ? " to " + n.previous : std::string()) + ": " +
                       std::strerror(errno);
    }
    if (ok) unlink(MapEntryNotePath(entry).c_str());
    return ok;
}

}  // namespace

std::string MapEntryNotePath(const std::string& entry) { return entry + kNoteSuffix; }

bool TakeMapEntry(const std::string& entry, const std::string& target, const std::string& who,
                  std::string* error) {
    RestoreAbandonedMapEntry(entry);
    Note n;
    n.pid = static_cast<long>(getpid());
    n.started = ProcessStart(n.pid);
    n.who = who;
    n.target = target;
    struct stat st {};
    if (lstat(entry.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = entry + " is no device-map entry (not a link)";
            return false;
        }
        bool exists = false;
        n.previous = LinkText(entry, &exists);
        n.had_previous = true;
    }
    // Another running helper's note: its entry is its own until it ends.
    Note other;
    if (ReadNote(MapEntryNotePath(entry), &other) && Running(other)) {
        *error =
            entry + " is taken by " + other.who + " (process " + std::to_string(other.pid) + ")";
        return false;
    }
    if (!WriteNote(MapEntryNotePath(entry), n, error)) return false;
    if (!PointAt(entry, target)) {
        *error = std::strerror(errno);
        unlink(MapEntryNotePath(entry).c_str());
        return false;
    }
    return true;
}

bool GiveBackMapEntry(const std::string& entry, std::string* message) {
    Note n;
    message->clear();
    if (!ReadNote(MapEntryNotePath(entry), &n)) return true;
    if (n.pid != static_cast<long>(getpid())) return true;  // not ours (any more)
    return PutBack(entry, n, message);
}

std::string RestoreAbandonedMapEntry(const std::string& entry) {
    Note n;
    if (!ReadNote(MapEntryNotePath(entry), &n) || Running(n)) return "";
    std::string message;
    PutBack(entry, n, &message);
    if (message.empty()) return "";
    return message + " (" + n.who + ", process " + std::to_string(n.pid) +
           ", ended without putting it back)";
}

void RestoreAbandonedDosDevice(const std::string& name) {
    const std::string message = RestoreAbandonedMapEntry(DosDeviceEntry(name));
    if (!message.empty()) DebugPrintf("%s: %s\n", name.c_str(), message.c_str());
}

std::vector<std::string> RestoreAbandonedMapEntries(const std::string& map_dir) {
    std::vector<std::string> messages;
    DIR* dir = opendir(map_dir.c_str());
    if (dir == nullptr) return messages;
    const size_t suffix = std::strlen(kNoteSuffix);
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() <= suffix || name.compare(name.size() - suffix, suffix, kNoteSuffix) != 0)
            continue;
        const std::string m =
            RestoreAbandonedMapEntry(map_dir + "/" + name.substr(0, name.size() - suffix));
        if (!m.empty()) messages.push_back(m);
    }
    closedir(dir);
    return messages;
}

}  // namespace platform
