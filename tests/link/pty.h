// A pseudo-terminal standing in for the device, reached by the link as COMn through
// the device map of a temporary program directory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/configuration.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

class PtyDevice {
public:
    PtyDevice() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            slave_path_ = ptsname(master_);
            termios t{};
            tcgetattr(master_, &t);
            cfmakeraw(&t);
            tcsetattr(master_, TCSANOW, &t);
        }
    }
    ~PtyDevice() { Close(); }
    bool ok() const { return master_ >= 0 && !slave_path_.empty(); }
    const std::string& slave_path() const { return slave_path_; }
    int fd() const { return master_; }

    void Write(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    // What the host wrote, waiting up to timeout_ms for at least `want` bytes.
    std::vector<uint8_t> Read(size_t want, int timeout_ms = 2000) {
        std::vector<uint8_t> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < want && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
            uint8_t buf[256];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    // Unplugging the device.
    void Close() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_path_;
};

// A program directory with a device map; COMn entries point where the test says.
class DeviceMap {
public:
    DeviceMap() {
        platform::CreateDirectoryIfMissing(dir_.File("configuration"));
        platform::CreateDirectoryIfMissing(dir_.File("configuration/dosdevices"));
        platform::SetProgramDirectoryForTesting(dir_.path());
        config::SetConfigPath(dir_.File("configuration/VELTMonitoring.ini"));
    }
    ~DeviceMap() { platform::SetProgramDirectoryForTesting(""); }
    void Map(const std::string& lower_name, const std::string& target) {
        std::string entry = dir_.File("configuration/dosdevices/" + lower_name);
        ::unlink(entry.c_str());
        if (::symlink(target.c_str(), entry.c_str()) != 0) perror("symlink");
    }
    const testing_support::TempDir& dir() const { return dir_; }

private:
    testing_support::TempDir dir_;
};

// Polls a condition, for waits on another thread; false after the time-out.
inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 3000,
                    const std::function<void()>& meanwhile = {}) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        if (meanwhile) meanwhile();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
