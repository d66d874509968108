#include "tools/velt-capture/tap.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/transport/d2xx.h"
#include "link/transport/serial_transport.h"
#include "link/transport/usb_transport.h"
#include "platform/file_identity.h"
#include "platform/map_entry.h"
#include "platform/system_info.h"
#include "recordings/capture_recorder.h"

namespace capture {

namespace {

using recordings::CaptureKind;

constexpr int kCheckEveryMs = 250;      // how soon a failed recording is reported
constexpr int kDrainMs = 200;           // at the end, what is on its way gets this long
constexpr int kWriteAtEndMs = 600;      // and the file this long: a stop takes under 1 s
constexpr int kRetryEveryMs = 1000;     // a lost device is looked for again this often
constexpr int kProbeClosedMs = 10;      // how soon the program's open is noticed
constexpr int kUsbPollMs = 5;           // the converter's latency timer
constexpr size_t kChunk = 4096;         // one read
constexpr size_t kMaxQueued = 1 << 16;  // bytes held for a side that does not read

int64_t MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t MonotonicMs() { return MonotonicUs() / 1000; }

int64_t UnixUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Every open and close of the pseudo-terminal's program end, from the kernel's
// file events: a poll of the master sees only whether it is open now, and misses an
// open and close that fall between two looks.
class OpenWatch {
public:
    ~OpenWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    void Watch(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            ::close(fd_);
            fd_ = -1;  // then the master is looked at now and then instead
        }
    }
    int fd() const { return fd_; }
    // on(true) for an open, on(false) for a close, in the order they happened.
    template <typename OnEvent>
    void Take(OnEvent on) {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->mask & IN_OPEN) on(true);
                if (e->mask & IN_CLOSE) on(false);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    int fd_ = -1;
};

// A serial device node held as the program holds its port: exclusively, raw, at the
// protocol's line settings, non-blocking.
class SerialDevice : public Device {
public:
    static std::unique_ptr<Device> Open(const std::string& path, int protocol, std::string* why) {
        transport::SerialLine line;
        const transport::OpenResult r = transport::OpenSerialLine(path, protocol, &line);
        if (r.step == transport::OpenStep::Setup) {
            *why = std::string("cannot set the line: ") + std::strerror(r.error);
        } else if (r.step == transport::OpenStep::Open) {
            *why = r.error == EBUSY    ? "in use by another program"
                   : r.error == ENOTTY ? "not a serial line"
                                       : std::strerror(r.error);
        }
        if (r.step != transport::OpenStep::Ok) return nullptr;
        tcflush(line.fd, TCIOFLUSH);
        return std::unique_ptr<Device>(new SerialDevice(line));
    }
    ~SerialDevice() override { transport::CloseSerialLine(line_); }
    int fd() const override { return line_.fd; }
    long Read(uint8_t* buffer, size_t size, std::string* why) override {
        ssize_t n;
        do {
            n = ::read(line_.fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n > 0) return n;
        if (n < 0 && errno == EAGAIN) return 0;
        if (n < 0) {
            *why = std::string("read failed: ") + std::strerror(errno);
            return -1;
        }
        // With VMIN = 0 an empty read is normal; on a hung-up line it is all there is.
        pollfd p{line_.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            *why = "hang-up";
            return -1;
        }
        return 0;
    }
    long Write(const uint8_t* data, size_t size, std::string* why) override {
        ssize_t n;
        do {
            n = ::write(line_.fd, data, size);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) return n;
        if (errno == EAGAIN) return 0;
        *why = std::string("write failed: ") + std::strerror(errno);
        return -1;
    }

private:
    explicit SerialDevice(const transport::SerialLine& line) : line_(line) {}
    transport::SerialLine line_;
};

// A USB converter through the D2XX layer, found and set up as the program does it.
class UsbDevice : public Device {
public:
    static std::unique_ptr<Device> Open(const std::string& name, int protocol, std::string* why) {
        d2xx::ID2xx& library = d2xx::D2xxLibrary();
        uint32_t count = 0;
        d2xx::FT_STATUS s = library.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY);
        if (s != d2xx::FT_OK) return Failed(why, "cannot list the USB devices", s);
        const size_t hash = name.find('#');
        bool matched = false;
        for (uint32_t i = 0; i < count && !matched; ++i) {
            char description[d2xx::kTextSize] = {};
            s = library.ListDevices(i, nullptr, description, sizeof description,
                                    d2xx::kListDescriptionByIndex);
            if (s != d2xx::FT_OK) return Failed(why, "cannot list the USB devices", s);
            matched = strncasecmp(description, name.c_str(), hash) == 0;
        }
        if (!matched) {
            *why = "no USB device \"" + name.substr(0, hash) + "\"";
            return nullptr;
        }
        d2xx::FT_HANDLE h = nullptr;
        s = library.OpenEx(name.c_str() + hash + 1, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h);
        if (s != d2xx::FT_OK) return Failed(why, "cannot open the USB device", s);
        std::unique_ptr<UsbDevice> d(new UsbDevice(library, h));
        library.SetLatencyTimer(h, 5);  // the converter works without it
        static const uint32_t kBaud[] = {57600, 115200, 9600};
        if ((s = library.SetBaudRate(h, kBaud[protocol - 1])) != d2xx::FT_OK ||
            (s = library.SetDataCharacteristics(h, 8, 2, 0)) != d2xx::FT_OK ||
            (s = library.SetFlowControl(h, 0, 0, 0)) != d2xx::FT_OK ||
            (s = library.Purge(h, d2xx::FT_PURGE_RX | d2xx::FT_PURGE_TX)) != d2xx::FT_OK)
            return Failed(why, "cannot set up the USB device", s);
        d->transport_ = std::make_unique<transport::UsbTransport>(library, h);
        if ((s = static_cast<d2xx::FT_STATUS>(d->transport_->Start())) != d2xx::FT_OK ||
            (s = library.SetChars(h, 0xFB, 1, 0, 0)) != d2xx::FT_OK)
            return Failed(why, "cannot set up the USB device", s);
        return d;
    }
    ~UsbDevice() override {
        transport_.reset();  // stops the notification before the handle goes
        library_.Close(handle_);
    }
    int fd() const override { return -1; }
    long Read(uint8_t* buffer, size_t size, std::string* why) override {
        transport::WaitResult w = transport_->WaitForData(0);
        if (w == transport::WaitResult::Timeout || w == transport::WaitResult::Wake) return 0;
        size_t waiting = 0, got = 0;
        int s = 0;
        if (w == transport::WaitResult::Data && (s = transport_->BytesWaiting(&waiting)) == 0 &&
            (waiting == 0 || (s = transport_->Read(buffer, std::min(size, waiting), &got)) == 0))
            return static_cast<long>(got);
        *why = "USB device failed (status " + std::to_string(s ? s : transport_->LastError()) + ")";
        return -1;
    }
    long Write(const uint8_t* data, size_t size, std::string* why) override {
        int s = transport_->Write(data, size);
        if (s == 0) return static_cast<long>(size);
        *why = "USB write failed (status " + std::to_string(s) + ")";
        return -1;
    }

private:
    UsbDevice(d2xx::ID2xx& library, d2xx::FT_HANDLE handle) : library_(library), handle_(handle) {}
    static std::unique_ptr<Device> Failed(std::string* why, const char* what, d2xx::FT_STATUS s) {
        *why = std::string(what) + " (status " + std::to_string(s) + ")";
        return nullptr;
    }
    d2xx::ID2xx& library_;
    d2xx::FT_HANDLE handle_;
    std::unique_ptr<transport::UsbTransport> transport_;
};

}  // namespace

std::unique_ptr<Device> OpenDevice(const Options& a, std::string* why) {
    if (a.device.find('#') != std::string::npos) return UsbDevice::Open(a.device, a.protocol, why);
    return SerialDevice::Open(a.device, a.protocol, why);
}

namespace {

struct Counts {
    unsigned long long bytes = 0, chunks = 0, dropped = 0;
};

std::string LineText(int protocol) {
    transport::LineSettings line{};
    if (!transport::LineSettingsFor(protocol, &line)) return "";
    return std::to_string(line.baud) + (line.two_stop_bits ? " 8N2" : " 8N1");
}

}  // namespace

class Tap::Impl {
public:
    explicit Impl(const Options& a) : a_(a) {
        to_program_.reserve(kMaxQueued);
        to_device_.reserve(kMaxQueued);
    }
    ~Impl() {
        Unmap();
        if (master_ >= 0) close(master_);
    }

    // Everything that can fail at the start; a message and false when it does.
    bool Start(std::unique_ptr<Device> device, bool real_time) {
        device_ = std::move(device);

        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            std::fprintf(stderr, "velt-capture: no pseudo-terminal: %s\n", std::strerror(errno));
            return false;
        }
        slave_path_ = ptsname(master_);
        termios t{};
        if (tcgetattr(master_, &t) == 0) {
            cfmakeraw(&t);  // on the master this sets the slave's line, before any open
            tcsetattr(master_, TCSANOW, &t);
        }
        // Opened and closed once, the master reports a hang-up until the program
        // opens the slave: that is how its first open is seen.
        int slave = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave >= 0) ::close(slave);
        opens_seen_.Watch(slave_path_);

        // The entry first: an entry that cannot be taken leaves the file as it was. An
        // existing file is replaced only by a whole new one (its header written),
        // once the recording starts.
        std::string why;
        if (!platform::TakeMapEntry(a_.map_path, slave_path_, "velt-capture", &why)) {
            std::fprintf(stderr, "velt-capture: cannot map %s: %s\n", a_.map_path.c_str(),
                         why.c_str());
            return false;
        }
        mapped_ = true;

        start_us_ = MonotonicUs();
        recordings::CaptureHeader header;
        header.protocol = a_.protocol;
        header.start_unix_us = UnixUs();
        header.device = a_.device;
        header.line = LineText(a_.protocol);
        header.host = platform::ComputerName();
        header.writer = std::string("velt-capture ") + VELT_VERSION;
        recordings::CaptureRecorder::Settings settings;
        settings.overwrite = a_.force;
        // A FIFO or a device is written as it is; a file (a link's, too) takes its name
        // with its header.
        const std::string target = platform::WriteTarget(a_.out_path);
        struct stat st {};
        settings.named_with_header = ::stat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode);
        if (!recorder_.Start(settings.named_with_header ? target : a_.out_path, header, settings)) {
            why = recorder_.Error();
            if (why.size() > 7 && why.compare(why.size() - 7, 7, " exists") == 0)
                why += " (--force replaces it)";
            std::fprintf(stderr, "velt-capture: %s\n", why.c_str());
            Unmap();
            return false;
        }
        std::printf("velt-capture: %s (protocol %d) on %s mapped as %s, recording to %s%s\n",
                    a_.device.c_str(), a_.protocol, slave_path_.c_str(), a_.map_path.c_str(),
                    a_.out_path.c_str(), real_time ? " (real-time priority)" : "");
        std::fflush(stdout);
        return true;
    }

    void Run(const std::atomic<bool>& stop, const sigset_t* unblocked) {
        while (!stop.load(std::memory_order_relaxed)) {
            int64_t now = MonotonicMs();
            if (!device_ && now >= next_retry_) Reopen();
            CheckWriter();

            int timeout = kCheckEveryMs;
            if (!device_)
                timeout = std::min<int64_t>(timeout, std::max<int64_t>(0, next_retry_ - now));
            pollfd fds[3];
            nfds_t n = 0;
            int device_at = -1, master_at = -1, opens_at = -1;
            if (device_ && device_->fd() >= 0) {
                device_at = static_cast<int>(n);
                fds[n++] = {device_->fd(),
                            static_cast<short>(POLLIN | (to_device_.empty() ? 0 : POLLOUT)), 0};
            } else if (device_) {
                timeout = std::min(timeout, kUsbPollMs);
            }
            // A closed slave keeps the master hung up, so polling it would spin: while
            // the program's port is closed, opens are seen through the watch.
            if (program_open_) {
                master_at = static_cast<int>(n);
                fds[n++] = {master_,
                            static_cast<short>(POLLIN | (to_program_.empty() ? 0 : POLLOUT)), 0};
            }
            if (opens_seen_.fd() >= 0) {
                opens_at = static_cast<int>(n);
                fds[n++] = {opens_seen_.fd(), POLLIN, 0};
            } else if (!program_open_) {
                timeout = std::min(timeout, kProbeClosedMs);
            }
            timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
            int r = ppoll(fds, n, &ts, unblocked);
            if (r < 0) continue;  // a signal

            // The program's side first: device bytes read in this pass belong to the
            // port as it is now, and a PortOpened record comes before them.
            const bool hung_up =
                master_at >= 0 && (fds[master_at].revents & (POLLHUP | POLLERR)) != 0;
            if (opens_seen_.fd() >= 0 && (hung_up || fds[opens_at].revents != 0)) TakePortEvents();
            if (hung_up && program_open_) {
                SetProgramOpen(false);  // a close the watch did not tell (it overflowed)
            } else if (opens_seen_.fd() < 0 && !program_open_) {
                SetProgramOpen(ProgramOpen());
            }
            if (master_at >= 0 && program_open_ && (fds[master_at].revents & POLLIN)) FromProgram();
            if (device_at < 0 && device_) FromDevice(false);
            if (device_at >= 0 && (fds[device_at].revents & ~POLLOUT) != 0) FromDevice(true);
            SendQueued();
        }
    }

    // Hands on what is still on its way (briefly), marks the rest as dropped, puts the
    // map entry back and closes the file; prints what passed. The exit status.
    int Finish() {
        if (program_open_) FromProgram();
        const int64_t until = MonotonicMs() + kDrainMs;
        while ((!to_device_.empty() && device_) || (!to_program_.empty() && program_open_)) {
            SendQueued();
            if (MonotonicMs() >= until) break;
            pollfd p[2];
            nfds_t n = 0;
            if (device_ && device_->fd() >= 0 && !to_device_.empty())
                p[n++] = {device_->fd(), POLLOUT, 0};
            if (program_open_ && !to_program_.empty()) p[n++] = {master_, POLLOUT, 0};
            ::poll(p, n, 10);
        }
        DropQueued(to_device_, CaptureKind::ProgramBytesDropped, from_program_);
        DropQueued(to_program_, CaptureKind::DeviceBytesDropped, from_device_);
        Unmap();
        bool ok = recorder_.Finish(kWriteAtEndMs);
        CheckWriter();
        Print("from the device", from_device_);
        Print("from the program", from_program_);
        std::printf("velt-capture: device gaps: %lu, port opens: %lu, port closes: %lu\n", gaps_,
                    opens_, closes_);
        if (ok)
            std::printf("velt-capture: wrote %s\n", a_.out_path.c_str());
        else
            std::fprintf(stderr, "velt-capture: %s is incomplete: %s\n", a_.out_path.c_str(),
                         recorder_.Error().c_str());
        std::fflush(stdout);
        return ok ? 0 : 1;
    }

private:
    void Unmap() {
        if (!mapped_) return;
        mapped_ = false;
        std::string message;
        const bool ok = platform::GiveBackMapEntry(a_.map_path, &message);
        if (!message.empty())
            std::fprintf(ok ? stdout : stderr, "velt-capture: %s\n", message.c_str());
    }

    static void Print(const char* what, const Counts& c) {
        std::printf("velt-capture: %s: %llu bytes in %llu chunks", what, c.bytes, c.chunks);
        if (c.dropped > 0)
            std::printf(" (%llu bytes not taken on the other side, dropped)", c.dropped);
        std::printf("\n");
    }

    uint64_t Us() const { return static_cast<uint64_t>(MonotonicUs() - start_us_); }

    void Record(CaptureKind kind, const uint8_t* data = nullptr, size_t size = 0) {
        recorder_.Add(kind, Us(), data, size);
    }

    // Says once that the recording stopped; forwarding is never stopped for it.
    void CheckWriter() {
        if (!recorder_.failed() || disk_reported_) return;
        disk_reported_ = true;
        std::fprintf(stderr,
                     "velt-capture: %s; the capture ends there (whole up to its last write), "
                     "forwarding goes on\n",
                     recorder_.Error().c_str());
    }

    bool ProgramOpen() {
        pollfd p{master_, POLLIN, 0};
        return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    }

    // Every open and close of the program's end, however quick, in order.
    // A second opener of the exclusive port fails, so opens and closes alternate;
    // one that does not (its failed open's close) changes nothing.
    void TakePortEvents() {
        opens_seen_.Take([this](bool open) { SetProgramOpen(open); });
    }

    void SetProgramOpen(bool open) {
        if (open == program_open_) return;
        if (!open) FromProgram();  // what it wrote before closing
        if (!open) DropQueued(to_program_, CaptureKind::DeviceBytesDropped, from_device_);
        program_open_ = open;
        Record(open ? CaptureKind::PortOpened : CaptureKind::PortClosed);
        if (open)
            ++opens_;
        else
            ++closes_;
        std::printf("velt-capture: the program %s the port\n", open ? "opened" : "closed");
        std::fflush(stdout);
    }

    void Lost(const std::string& why) {
        DropQueued(to_device_, CaptureKind::ProgramBytesDropped, from_program_);
        Record(CaptureKind::DeviceLost, reinterpret_cast<const uint8_t*>(why.data()), why.size());
        ++gaps_;
        device_.reset();
        next_retry_ = MonotonicMs() + kRetryEveryMs;
        std::printf("velt-capture: device lost (%s); looking for it every second\n", why.c_str());
        std::fflush(stdout);
    }

    void Reopen() {
        // A device named through the entry the tap now holds would be the tap itself.
        if (char* real = realpath(a_.device.c_str(), nullptr)) {
            bool self = slave_path_ == real;
            free(real);
            if (self) {
                next_retry_ = MonotonicMs() + kRetryEveryMs;
                return;
            }
        }
        std::string why;
        device_ = OpenDevice(a_, &why);
        if (!device_) {
            next_retry_ = MonotonicMs() + kRetryEveryMs;
            return;
        }
        Record(CaptureKind::DeviceBack);
        std::printf("velt-capture: device back\n");
        std::fflush(stdout);
    }

    // Takes what fits into the queue; the rest is recorded as dropped at once.
    void Queue(std::vector<uint8_t>& q, const uint8_t* data, size_t size, Counts& c,
               CaptureKind dropped) {
        size_t take = std::min(kMaxQueued - q.size(), size);
        q.insert(q.end(), data, data + take);
        if (take < size) {
            Record(dropped, data + take, size - take);
            c.dropped += size - take;
        }
    }

    void DropQueued(std::vector<uint8_t>& q, CaptureKind kind, Counts& c) {
        if (q.empty()) return;
        Record(kind, q.data(), q.size());
        c.dropped += q.size();
        q.clear();
    }

    // signalled: poll said there is input; then nothing to read means the line is
    // gone (this loop must never spin on such a line).
    void FromDevice(bool signalled) {
        for (bool first = true;; first = false) {
            std::string why;
            long n = device_->Read(buffer_, sizeof buffer_, &why);
            if (n == 0 && first && signalled) {
                n = -1;
                why = "readable with nothing to read";
            }
            if (n < 0) {
                Lost(why);
                return;
            }
            if (n == 0) return;
            from_device_.bytes += static_cast<unsigned long long>(n);
            ++from_device_.chunks;
            if (program_open_) {
                Queue(to_program_, buffer_, static_cast<size_t>(n), from_device_,
                      CaptureKind::DeviceBytesDropped);
                SendToProgram();  // at once: the record's time is when it was handed on
            } else {
                // Nobody listens: kept as the device sent it, outside the port's sessions.
                Record(CaptureKind::DeviceBytes, buffer_, static_cast<size_t>(n));
            }
            if (static_cast<size_t>(n) < sizeof buffer_) return;
        }
    }

    void FromProgram() {
        for (;;) {
            ssize_t n = ::read(master_, buffer_, sizeof buffer_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            from_program_.bytes += static_cast<unsigned long long>(n);
            ++from_program_.chunks;
            if (device_) {
                Queue(to_device_, buffer_, static_cast<size_t>(n), from_program_,
                      CaptureKind::ProgramBytesDropped);
            } else {
                // No device to take it (a gap).
                Record(CaptureKind::ProgramBytesDropped, buffer_, static_cast<size_t>(n));
                from_program_.dropped += static_cast<unsigned long long>(n);
            }
        }
    }

    void SendToProgram() {
        if (to_program_.empty() || !program_open_) return;
        ssize_t n = ::write(master_, to_program_.data(), to_program_.size());
        if (n <= 0) return;
        Record(CaptureKind::DeviceBytes, to_program_.data(), static_cast<size_t>(n));
        to_program_.erase(to_program_.begin(), to_program_.begin() + n);
    }

    void SendQueued() {
        SendToProgram();
        if (!to_device_.empty() && device_) {
            std::string why;
            long n = device_->Write(to_device_.data(), to_device_.size(), &why);
            if (n < 0) {
                Lost(why);
            } else if (n > 0) {
                Record(CaptureKind::ProgramBytes, to_device_.data(), static_cast<size_t>(n));
                to_device_.erase(to_device_.begin(), to_device_.begin() + n);
            }
        }
    }

    const Options& a_;
    std::unique_ptr<Device> device_;
    recordings::CaptureRecorder recorder_;
    OpenWatch opens_seen_;
    int64_t start_us_ = 0, next_retry_ = 0;
    int master_ = -1;
    std::string slave_path_;
    bool mapped_ = false, program_open_ = false, disk_reported_ = false;
    std::vector<uint8_t> to_program_, to_device_;
    uint8_t buffer_[kChunk];
    Counts from_device_, from_program_;
    unsigned long gaps_ = 0, opens_ = 0, closes_ = 0;
};

Tap::Tap(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
Tap::~Tap() = default;
bool Tap::Start(std::unique_ptr<Device> device, bool real_time) {
    return impl_->Start(std::move(device), real_time);
}
void Tap::Run(const std::atomic<bool>& stop, const sigset_t* unblocked) {
    impl_->Run(stop, unblocked);
}
int Tap::Finish() { return impl_->Finish(); }

}  // namespace capture
