// SerialPort for the host build: a termios line (a tty or a pty) with the same settings and read limit as on Windows.
#include "SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "LowLatency_posix.h"

namespace {

constexpr const char* kDeviceFolder = "/dev/";
constexpr int kNoDevice = -1;

using Clock = std::chrono::steady_clock;

// The errors of a line whose device went away (an adapter pulled out, the other side of a pty closed).
bool isGoneError(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

speed_t speedOf(std::uint32_t baudRate) {
    switch (baudRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;  // unsupported: the line keeps its speed, as a device that refuses the rate
    }
}

tcflag_t characterSizeOf(std::uint8_t dataBits) {
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}
}  // namespace

struct SerialPort::Impl {
    int fd = kNoDevice;
    bool gone = false;
    bool flagSet = false;  // the low-latency flag was off and was set here
    lowlatency::TimerChange timer;
    std::string note;
    std::string sysfsRoot;

    // The adapter asked for low latency; what was changed is put back by restoreLatency.
    void lowerLatency(const std::string& devicePath) {
        bool wasOn = false;
        const bool flagOn = lowlatency::setFlag(fd, wasOn);
        flagSet = flagOn && !wasOn;
        timer = lowlatency::lowerTimer(resolved(devicePath), sysfsRoot);
        note = lowlatency::note(flagOn, timer);
    }

    void restoreLatency() {
        if (flagSet) lowlatency::clearFlag(fd);
        lowlatency::restoreTimer(timer);
        flagSet = false;
        timer = lowlatency::TimerChange();
    }

    void setModemLines(bool on) {
        int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);  // a pty has no modem lines; the result is not examined
    }

    void closeDevice() {
        if (fd != kNoDevice) ::close(fd);
        fd = kNoDevice;
    }
};

SerialPort::SerialPort(std::string sysfsRoot) : impl_(std::make_unique<Impl>()) {
    impl_->sysfsRoot = std::move(sysfsRoot);
}

SerialPort::~SerialPort() {
    if (impl_->fd != kNoDevice) impl_->restoreLatency();
    impl_->closeDevice();
}

std::string serial::devicePathOf(const std::string& portName) {
    return !portName.empty() && portName[0] == '/' ? portName : kDeviceFolder + portName;
}

bool SerialPort::open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) {
    Impl& p = *impl_;
    const std::string devicePath = serial::devicePathOf(portName);
    p.gone = false;
    p.note.clear();
    p.fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.fd == kNoDevice) return false;
    // Exclusive use, as on Windows: a second opener of the same line is refused.
    if (flock(p.fd, LOCK_EX | LOCK_NB) != 0) {
        p.closeDevice();
        return false;
    }
    ioctl(p.fd, TIOCEXCL);

    termios tio{};
    tcgetattr(p.fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARODD | CSTOPB);
    tio.c_cflag |= characterSizeOf(dataBits) | PARENB | CREAD | CLOCAL;  // even parity, one stop bit
    tio.c_iflag |= INPCK;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = speedOf(baudRate);
    if (speed != B0) cfsetspeed(&tio, speed);
    if (tcsetattr(p.fd, TCSANOW, &tio) != 0) {
        // A line that cannot hold parity (a pty) refuses the whole change; it still gets the rest,
        // just as a refused setting does not fail the open on Windows.
        tio.c_cflag &= ~PARENB;
        tio.c_iflag &= ~INPCK;
        tcsetattr(p.fd, TCSANOW, &tio);
    }
    tcflush(p.fd, TCIOFLUSH);
    p.setModemLines(true);
    p.lowerLatency(devicePath);
    return true;
}

bool SerialPort::readByte(std::uint8_t& byte) {
    Impl& p = *impl_;
    if (p.fd == kNoDevice || p.gone) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(serial::kSingleByteReadLimitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{p.fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = ::read(p.fd, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        p.gone = n == 0 || isGoneError(errno) || (pfd.revents & POLLNVAL) != 0;  // readable, yet no byte: hung up
        return false;
    }
}

bool SerialPort::writeBytes(const std::uint8_t* bytes, std::uint32_t count) {
    Impl& p = *impl_;
    if (p.fd == kNoDevice || p.gone) return false;
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(p.fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{p.fd, POLLOUT, 0};
            poll(&pfd, 1, -1);  // no write time-out: wait until the line takes the bytes
        } else {
            p.gone = n < 0 && isGoneError(errno);
            return false;
        }
    }
    return true;
}

void SerialPort::close() {
    Impl& p = *impl_;
    if (p.fd != kNoDevice) {
        p.setModemLines(false);
        p.restoreLatency();
    }
    p.closeDevice();
}

bool SerialPort::gone() const { return impl_->gone; }

std::string SerialPort::openNote() const { return impl_->note; }
