// termios on a non-blocking descriptor: raw 8N1-style lines, poll for every wait (POSIX).
#include "serial/termios_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <utility>

#include "serial/input_wait.hpp"

namespace kinetra::serial {
namespace {

constexpr std::array<std::pair<int, speed_t>, 26> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
    {2000000, B2000000}, {3000000, B3000000},
}};

std::optional<tcflag_t> sizeBits(int bitCount) {
    switch (bitCount) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

bool setSpeed(termios& settings, speed_t speed) {
    return ::cfsetispeed(&settings, speed) == 0 && ::cfsetospeed(&settings, speed) == 0;
}

}  // namespace

std::optional<speed_t> termiosSpeed(int baudrate) {
    const auto* row = std::find_if(kSpeeds.begin(), kSpeeds.end(), [baudrate](const auto& entry) {
        return entry.first == baudrate;
    });
    return row == kSpeeds.end() ? std::nullopt : std::optional<speed_t>(row->second);
}

std::unique_ptr<TermiosPort> TermiosPort::open(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        spdlog::debug("could not open {0}: errno {1}", name, errno);
        return nullptr;
    }
    if (::isatty(fd) != 1) {
        spdlog::debug("{0} is not a terminal device", name);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TermiosPort>(new TermiosPort(name, fd));
}

TermiosPort::~TermiosPort() {
    ::close(fd_);
}

bool TermiosPort::configure(const PortSettings& settings) {
    const auto speed = termiosSpeed(settings.baudrate);
    const auto size = sizeBits(settings.bitCount);
    termios line{};
    if (!speed || !size || (settings.stopBits != 1 && settings.stopBits != 2) ||
        ::tcgetattr(fd_, &line) != 0) {
        return false;
    }
    // Raw: the frames are binary, so no echo, no line editing, no XON/XOFF eating 0x11/0x13.
    // Hardware flow control (CRTSCTS) stays as it was.
    ::cfmakeraw(&line);
    line.c_cflag = (line.c_cflag & ~(CSIZE | CSTOPB | PARENB)) | *size | CLOCAL | CREAD;
    if (settings.stopBits == 2) {
        line.c_cflag |= CSTOPB;
    }
    line.c_cc[VMIN] = 0;  // reads never wait: poll does the waiting
    line.c_cc[VTIME] = 0;
    if (!setSpeed(line, *speed) || ::tcsetattr(fd_, TCSANOW, &line) != 0) {
        return false;
    }
    // A pseudo-terminal has no modem lines and refuses this.
    const int dtr = TIOCM_DTR;
    if (::ioctl(fd_, TIOCMBIS, &dtr) != 0) {
        spdlog::debug("{0} refuses DTR", name_);
    }
    return true;
}

bool TermiosPort::setBaudrate(int baudrate) {
    const auto speed = termiosSpeed(baudrate);
    termios line{};
    return speed && ::tcgetattr(fd_, &line) == 0 && setSpeed(line, *speed) &&
           ::tcsetattr(fd_, TCSANOW, &line) == 0;
}

ReadResult TermiosPort::read(std::span<std::uint8_t> buffer, Milliseconds timeout,
                             const platform::StopSignal* stop) {
    return readWhenReady(fd_, buffer, timeout, stop, [this](std::span<std::uint8_t> into) -> long {
        const auto count = ::read(fd_, into.data(), into.size());
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            return 0;
        }
        return count;  // EIO: the far side of a pseudo-terminal closed
    });
}

std::size_t TermiosPort::write(core::ByteView bytes, Milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto count = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN) {
            break;  // the line is gone
        }
        const auto left =
            std::chrono::ceil<Milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd item{fd_, POLLOUT, 0};
        const int waitMs = static_cast<int>(std::min<Milliseconds::rep>(left.count(), INT_MAX));
        if (::poll(&item, 1, waitMs) < 0 && errno != EINTR) {
            break;
        }
        if ((item.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            break;
        }
    }
    return done;
}

void TermiosPort::flush() {
    ::tcflush(fd_, TCIOFLUSH);
}

}  // namespace kinetra::serial
