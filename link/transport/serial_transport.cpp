#include "link/transport/serial_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "platform/system_info.h"

namespace transport {

std::string SerialDevicePath(const std::string& port_name) {
    int n = 0;
    if (port_name.size() > 3) n = std::atoi(port_name.c_str() + 3);
    std::string fallback = n > 0 ? "/dev/ttyS" + std::to_string(n - 1) : "/dev/null-port";
    return platform::ResolveDosDevice(port_name, fallback);
}

bool LineSettingsFor(int protocol, LineSettings* out) {
    switch (protocol) {
        case 1:
            *out = {B57600, true};
            return true;
        case 2:
            *out = {B115200, false};
            return true;
        case 3:
            *out = {B9600, true};
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
    if (cfgetospeed(&back) != line.speed || (back.c_cflag & CSIZE) != CS8 ||
        ((back.c_cflag & CSTOPB) != 0) != line.two_stop_bits || (back.c_cflag & PARENB) != 0)
        return EINVAL;
    // DTR and RTS on where the driver has modem lines (pseudo-terminals do not).
    int bits = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIS, &bits) != 0 && errno != ENOTTY && errno != EINVAL) return errno;
    return 0;
}

}  // namespace

SerialTransport::OpenResult SerialTransport::Open(const std::string& port_name, int protocol,
                                                  std::unique_ptr<SerialTransport>* out) {
    std::string path = SerialDevicePath(port_name);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {OpenStep::Open, errno};
    // Exclusive: flock works for root too, TIOCEXCL keeps other programs out.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return {OpenStep::Open, e};
    }
    if (!isatty(fd)) {
        ::close(fd);
        return {OpenStep::Open, ENOTTY};
    }
    ioctl(fd, TIOCEXCL);
    termios saved{};
    int e = SetUp(fd, protocol, &saved);
    if (e != 0) {
        ::close(fd);
        return {OpenStep::Setup, e};
    }
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        e = errno;
        tcsetattr(fd, TCSANOW, &saved);
        ::close(fd);
        return {OpenStep::Setup, e};
    }
    out->reset(new SerialTransport(fd, pipe_fds[0], pipe_fds[1], saved));
    (*out)->Purge();
    (*out)->TakeLineErrors();  // the counts start now
    return {OpenStep::Ok, 0};
}

SerialTransport::SerialTransport(int fd, int wake_read, int wake_write, const termios& saved)
    : fd_(fd), wake_read_(wake_read), wake_write_(wake_write), saved_(saved) {}

SerialTransport::~SerialTransport() {
    tcsetattr(fd_, TCSANOW, &saved_);
    ::close(fd_);
    ::close(wake_read_);
    ::close(wake_write_);
}

WaitResult SerialTransport::Fail(WaitResult what, int error) {
    dead_ = what;
    last_error_ = error;
    return what;
}

WaitResult SerialTransport::WaitForData(int timeout_ms) {
    if (dead_ != WaitResult::Data) return dead_;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    int r;
    do {
        r = ::poll(fds, 2, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return Fail(WaitResult::Error, errno);
    if (r == 0) return WaitResult::Timeout;
    if (fds[1].revents & POLLIN) {
        char drain[16];
        while (::read(wake_read_, drain, sizeof drain) > 0) {
        }
        return WaitResult::Wake;
    }
    if (fds[0].revents & POLLIN) {
        // Readable with nothing to read means the other side is gone.
        int n = 0;
        if (ioctl(fd_, FIONREAD, &n) == 0 && n > 0) return WaitResult::Data;
        uint8_t probe;
        ssize_t got = ::read(fd_, &probe, 0);
        if (got < 0 && errno != EAGAIN) return Fail(WaitResult::HangUp, errno);
        if (fds[0].revents & (POLLHUP | POLLERR)) return Fail(WaitResult::HangUp, EIO);
        return WaitResult::Data;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Fail(WaitResult::HangUp, EIO);
    return WaitResult::Timeout;
}

int SerialTransport::BytesWaiting(size_t* count) {
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) return errno;
    *count = n > 0 ? static_cast<size_t>(n) : 0;
    return 0;
}

int SerialTransport::Read(uint8_t* buffer, size_t size, size_t* got) {
    *got = 0;
    if (size == 0) return 0;
    ssize_t n;
    do {
        n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN) return 0;
        Fail(WaitResult::HangUp, errno);
        return errno;
    }
    *got = static_cast<size_t>(n);
    return 0;
}

int SerialTransport::Write(const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 1000) <= 0) return EAGAIN;
                continue;
            }
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

uint32_t SerialTransport::TakeLineErrors() {
    serial_icounter_struct c{};
    if (ioctl(fd_, TIOCGICOUNT, &c) != 0) return 0;  // not supported (pseudo-terminals)
    Counts now{c.frame, c.overrun, c.parity, c.brk, c.buf_overrun};
    uint32_t bits = 0;
    if (have_counts_) {
        if (now.frame != counts_.frame) bits |= kCeFrame;
        if (now.overrun != counts_.overrun) bits |= kCeOverrun;
        if (now.parity != counts_.parity) bits |= kCeRxParity;
        if (now.brk != counts_.brk) bits |= kCeBreak;
        if (now.buf_overrun != counts_.buf_overrun) bits |= kCeRxOver;
    }
    counts_ = now;
    have_counts_ = true;
    return bits;
}

int SerialTransport::Purge() { return tcflush(fd_, TCIOFLUSH) == 0 ? 0 : errno; }

void SerialTransport::Wake() {
    char b = 1;
    ssize_t r = ::write(wake_write_, &b, 1);
    (void)r;  // a full pipe already holds a wake
}

}  // namespace transport
