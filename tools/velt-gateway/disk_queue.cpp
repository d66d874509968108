#include "tools/velt-gateway/disk_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace gateway {

namespace {

// Makes dir and its parents (mode 0700: messages name patients' beds).
bool MakeDirs(const std::string& dir, std::string* error) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string DiskQueue::Path(uint64_t seq) const {
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx.hl7", static_cast<unsigned long long>(seq));
    return dir_ + name;
}

bool DiskQueue::Open(const std::string& dir, uint64_t max_bytes, std::string* error) {
    dir_ = dir;
    max_bytes_ = max_bytes;
    entries_.clear();
    bytes_ = 0;
    if (!MakeDirs(dir, error)) return false;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        *error = "cannot read " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<Entry> found;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        unsigned long long seq = 0;
        char tail[8] = {};
        if (name.size() == 20 && std::sscanf(name.c_str(), "%16llx%4s", &seq, tail) == 2 &&
            std::strcmp(tail, ".hl7") == 0) {
            struct stat st {};
            if (stat((dir + "/" + name).c_str(), &st) == 0)
                found.push_back({seq, static_cast<uint64_t>(st.st_size)});
        } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
            unlink((dir + "/" + name).c_str());  // a write a crash cut short
        }
    }
    closedir(d);
    std::sort(found.begin(), found.end(),
              [](const Entry& a, const Entry& b) { return a.seq < b.seq; });
    for (const Entry& e : found) {
        entries_.push_back(e);
        bytes_ += e.size;
    }
    next_seq_ = entries_.empty() ? 1 : entries_.back().seq + 1;
    return true;
}

bool DiskQueue::Push(const std::string& message, std::string* error) {
    const uint64_t seq = next_seq_;
    const std::string path = Path(seq);
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    // fdatasync: an acknowledged-later message must survive a power cut of the host,
    // not only a restart of the program.
    const bool ok = WriteAll(fd, message) && fdatasync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
        unlink(tmp.c_str());
        return false;
    }
    ++next_seq_;
    entries_.push_back({seq, message.size()});
    bytes_ += message.size();
    while (bytes_ > max_bytes_ && entries_.size() > 1) {
        Remove();
        ++dropped_;
    }
    return true;
}

bool DiskQueue::Front(std::string* message) {
    while (!entries_.empty()) {
        const int fd = open(Path(entries_.front().seq).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            message->clear();
            char buf[8192];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                message->append(buf, static_cast<size_t>(n));
            close(fd);
            if (n == 0 && !message->empty()) return true;
        }
        Remove();
        ++unreadable_;
    }
    return false;
}

void DiskQueue::Pop() {
    if (!entries_.empty()) Remove();
}

void DiskQueue::Remove() {
    unlink(Path(entries_.front().seq).c_str());
    bytes_ -= entries_.front().size;
    entries_.pop_front();
}

}  // namespace gateway
