#include "link/transport/serial_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/map_entry.h"
#include "platform/system_info.h"
#include "platform/tick.h"

namespace transport {

namespace {
// How long a write waits for a full driver queue to take more bytes.
constexpr int kDrainWaitMs = 1000;
}  // namespace

std::string SerialDevicePath(const std::string& port_name) {
    std::string name = port_name;
    if (!name.empty() && name.back() == ':') name.pop_back();
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return "";
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return "";
        n = n * 10 + (name[i] - '0');
    }
    if (n < 1) return "";
    return platform::ResolveDosDevice(name, "/dev/ttyS" + std::to_string(n - 1));
}

uint32_t LineErrorBits(const LineCounts& before, const LineCounts& now) {
    uint32_t bits = 0;
    if (now.frame != before.frame) bits |= kCeFrame;
    if (now.overrun != before.overrun) bits |= kCeOverrun;
    if (now.parity != before.parity) bits |= kCeRxParity;
    if (now.brk != before.brk) bits |= kCeBreak;
    if (now.buf_overrun != before.buf_overrun) bits |= kCeRxOver;
    return bits;
}

bool LineSettingsFor(int protocol, LineSettings* out) {
    switch (protocol) {
        case 1:
            *out = {B57600, true, 57600};
            return true;
        case 2:
            *out = {B115200, false, 115200};
            return true;
        case 3:
            *out = {B9600, true, 9600};
            return true;
        default:
            return false;
    }
}

namespace {

int SetUp(int fd, int protocol, termios* saved) {
    LineSettings line{};
    if (!LineSettingsFor(protocol, &line)) return EINVAL;
    if (tcgetattr(fd, saved) != 0) return errno;
    termios t = *saved;
    cfmakeraw(&t);
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY | IGNPAR);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (line.two_stop_bits) t.c_cflag |= CSTOPB;
    // Reads are driven by poll; a read returns what is there at once.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, line.speed);
    cfsetospeed(&t, line.speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) return errno;
    termios back{};
    if (tcgetattr(fd, &back) != 0) return errno;
    if (cfgetospeed(&back) != line.speed || cfgetispeed(&back) != line.speed ||
        (back.c_cflag & CSIZE) != CS8 || ((back.c_cflag & CSTOPB) != 0) != line.two_stop_bits ||
        (back.c_cflag & (PARENB | CRTSCTS)) != 0 ||
        (back.c_iflag & (PARMRK | INPCK | IGNBRK | IXON | IXOFF | ISTRIP)) != 0 ||
        (back.c_lflag & ICANON) != 0)
        return EINVAL;
    // DTR and RTS on where the driver has modem lines (pseudo-terminals do not).
    int bits = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIS, &bits) != 0 && errno != ENOTTY && errno != EINVAL) return errno;
    return 0;
}

}  // namespace

OpenResult OpenSerialLine(const std::string& path, int protocol, SerialLine* out) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {OpenStep::Open, errno};
    if (!isatty(fd)) {
        ::close(fd);
        return {OpenStep::Open, ENOTTY};
    }
    // Exclusive: flock works for root too, TIOCEXCL keeps other programs out.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return {OpenStep::Open, e};
    }
    ioctl(fd, TIOCEXCL);
    termios saved{};
    if (int e = SetUp(fd, protocol, &saved); e != 0) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return {OpenStep::Setup, e, fd};
    }
    *out = SerialLine{fd, saved};
    return {OpenStep::Ok, 0, fd};
}

void CloseSerialLine(const SerialLine& line) {
    tcsetattr(line.fd, TCSANOW, &line.saved);
    ioctl(line.fd, TIOCNXCL);
    ::close(line.fd);
}

OpenResult SerialTransport::Open(const std::string& port_name, int protocol,
                                 std::unique_ptr<SerialTransport>* out) {
    platform::RestoreAbandonedDosDevice(port_name);  // a killed capture tap's entry
    std::string path = SerialDevicePath(port_name);
    if (path.empty()) return {OpenStep::Open, ENOENT};
    SerialLine line;
    OpenResult r = OpenSerialLine(path, protocol, &line);
    if (r.step != OpenStep::Ok) return r;
    // The waits watch the port and the wake pipe through one epoll set made here, so
    // a wait does not register with both (and the terminal's two queues) every time.
    int pipe_fds[2] = {-1, -1};
    const int set = epoll_create1(EPOLL_CLOEXEC);
    epoll_event port{EPOLLIN, {.u32 = 0}};
    epoll_event wake{EPOLLIN, {.u32 = 1}};
    if (set < 0 || pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0 ||
        epoll_ctl(set, EPOLL_CTL_ADD, line.fd, &port) != 0 ||
        epoll_ctl(set, EPOLL_CTL_ADD, pipe_fds[0], &wake) != 0) {
        const int e = errno;
        for (int fd : {set, pipe_fds[0], pipe_fds[1]})
            if (fd >= 0) ::close(fd);
        CloseSerialLine(line);
        return {OpenStep::Setup, e, line.fd};
    }
    LineSettings settings{};
    LineSettingsFor(protocol, &settings);
    const long bits = 1 + 8 + (settings.two_stop_bits ? 2 : 1);
    out->reset(new SerialTransport(line.fd, pipe_fds[0], pipe_fds[1], set, line.saved,
                                   bits * 1000000000L / settings.baud));
    (*out)->Purge();
    (*out)->TakeLineErrors();  // the counts start now
    return {OpenStep::Ok, 0, line.fd};
}

SerialTransport::SerialTransport(int fd, int wake_read, int wake_write, int wait_set,
                                 const termios& saved, long byte_ns)
    : fd_(fd),
      wake_read_(wake_read),
      wake_write_(wake_write),
      wait_set_(wait_set),
      saved_(saved),
      byte_ns_(byte_ns) {}

SerialTransport::~SerialTransport() {
    ::close(wait_set_);
    CloseSerialLine({fd_, saved_});
    ::close(wake_read_);
    ::close(wake_write_);
}

WaitResult SerialTransport::Fail(WaitResult what, int error) {
    dead_ = what;
    last_error_ = error;
    return what;
}

int SerialTransport::FailCall(int error) {
    // These mean the device went away (unplugged, other side of a pty closed).
    if (error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE)
        Fail(WaitResult::HangUp, error);
    else
        last_error_ = error;
    return error;
}

WaitResult SerialTransport::TakeWake() {
    char drain[16];
    while (::read(wake_read_, drain, sizeof drain) > 0) {
    }
    return WaitResult::Wake;
}

WaitResult SerialTransport::WaitForData(int timeout_ms) {
    if (Dead()) return dead_;
    if (taken_ < held_) return WaitResult::Data;
    epoll_event events[2];
    int r;
    do {
        r = ::epoll_wait(wait_set_, events, 2, timeout_ms < 0 ? 0 : timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return Fail(WaitResult::Error, errno);
    uint32_t ev = 0;
    for (int i = 0; i < r; ++i) {
        if (events[i].data.u32 == 1) return TakeWake();
        ev = events[i].events;
    }
    if (ev == 0) return WaitResult::Timeout;
    // A terminal is readable without a hang-up only with input there.
    if ((ev & (EPOLLHUP | EPOLLERR)) == 0)
        return ev & EPOLLIN ? WaitResult::Data : WaitResult::Timeout;
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) return Fail(WaitResult::HangUp, errno);
    if (n > 0) return WaitResult::Data;  // the last bytes before the hang-up
    return Fail(WaitResult::HangUp, EIO);
}

WaitResult SerialTransport::WaitForLine(size_t bytes, int max_ms) {
    return WaitForLineFrom(platform::MonotonicMicroseconds(), bytes, max_ms);
}

WaitResult SerialTransport::WaitForLineFrom(uint64_t start_us, size_t bytes, int max_ms) {
    if (Dead()) return dead_;
    if (bytes == 0 || max_ms <= 0) return WaitResult::Timeout;
    const long long max_ns = static_cast<long long>(max_ms) * 1000000;
    // The bytes' time on the line and a little more: drivers hand bytes on in pieces
    // (a UART's receive time-out, a pseudo-terminal's writer), and a sleep that ends
    // just before the last piece costs the reader another wake for it. The margin is
    // what an answer to the frame waits longer.
    if (bytes >= static_cast<size_t>(max_ns / byte_ns_)) bytes = max_ns / byte_ns_;
    const long long since_ns = (static_cast<long long>(platform::MonotonicMicroseconds()) -
                                static_cast<long long>(start_us)) *
                               1000;
    const long long ns =
        std::min(static_cast<long long>(bytes) * byte_ns_ + kLineMarginNs - since_ns, max_ns);
    if (ns <= 0) return WaitResult::Data;
    const timespec span{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd wake{wake_read_, POLLIN, 0};
    // An interrupted sleep only makes the next read a little early.
    if (::ppoll(&wake, 1, &span, nullptr) > 0 && (wake.revents & POLLIN)) return TakeWake();
    return WaitResult::Data;
}

int SerialTransport::BytesWaiting(size_t* count) {
    *count = 0;
    if (Dead()) return last_error_;
    if (taken_ == held_) taken_ = held_ = 0;
    if (held_ < sizeof held_bytes_) {
        ssize_t n;
        do {
            n = ::read(fd_, held_bytes_ + held_, sizeof held_bytes_ - held_);
        } while (n < 0 && errno == EINTR);
        // Nothing new (EAGAIN, or an empty read with VMIN = 0) is no failure; a
        // vanished port is reported once what it sent before has been read.
        if (n > 0)
            held_ += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && taken_ == held_)
            return FailCall(errno);
    }
    *count = held_ - taken_;
    return 0;
}

int SerialTransport::Read(uint8_t* buffer, size_t size, size_t* got) {
    *got = 0;
    if (Dead()) return last_error_;
    if (size == 0) return 0;
    if (taken_ < held_) {
        const size_t n = size < held_ - taken_ ? size : held_ - taken_;
        std::memcpy(buffer, held_bytes_ + taken_, n);
        taken_ += n;
        *got = n;
        return 0;
    }
    ssize_t n;
    do {
        n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? 0 : FailCall(errno);
    if (n == 0) {
        // With VMIN = 0 an empty read is normal; on a hung-up port it is all there is.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            Fail(WaitResult::HangUp, EIO);
            return EIO;
        }
        return 0;
    }
    *got = static_cast<size_t>(n);
    return 0;
}

int SerialTransport::Write(const uint8_t* data, size_t size) {
    if (Dead()) return last_error_;
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                // The driver's queue is full; a line that does not drain in
                // kDrainWaitMs is not going to.
                pollfd p{fd_, POLLOUT, 0};
                int r = ::poll(&p, 1, kDrainWaitMs);
                if (r == 0) return last_error_ = EAGAIN;
                if (r < 0 && errno != EINTR) return FailCall(errno);
                if (p.revents & (POLLHUP | POLLERR)) return FailCall(EIO);
                continue;
            }
            return FailCall(errno);
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

uint32_t SerialTransport::TakeLineErrors() {
    if (Dead()) return 0;
    if (counts_unsupported_) return 0;
    serial_icounter_struct c{};
    if (ioctl(fd_, TIOCGICOUNT, &c) != 0) {
        // Pseudo-terminals and some converters keep no counters: asking once is enough.
        if (errno == ENOTTY || errno == EINVAL) counts_unsupported_ = true;
        return 0;
    }
    LineCounts now{c.frame, c.overrun, c.parity, c.brk, c.buf_overrun};
    uint32_t bits = have_counts_ ? LineErrorBits(counts_, now) : 0;
    counts_ = now;
    have_counts_ = true;
    return bits;
}

int SerialTransport::Purge() {
    if (Dead()) return last_error_;
    taken_ = held_ = 0;
    return tcflush(fd_, TCIOFLUSH) == 0 ? 0 : FailCall(errno);
}

void SerialTransport::Wake() {
    char b = 1;
    ssize_t r = ::write(wake_write_, &b, 1);
    (void)r;  // a full pipe already holds a wake
}

}  // namespace transport
