// Linux: posix_openpt in raw mode, an inotify watch on the slave path, an eventfd wake-up.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "sim/pseudo_terminal.hpp"

namespace kinetra::sim {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        fail("posix_openpt");
    }
    termios settings{};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::tcgetattr(master_, &settings) != 0) {
        const int error = errno;
        ::close(master_);
        errno = error;
        fail("pseudo-terminal set-up");
    }
    // Raw: every byte passes as it is, in both directions; whoever opens the slave sees a line
    // that is already raw.
    ::cfmakeraw(&settings);
    ::tcsetattr(master_, TCSANOW, &settings);
    std::array<char, 128> name{};
    if (::ptsname_r(master_, name.data(), name.size()) != 0) {
        const int error = errno;
        ::close(master_);
        errno = error;
        fail("ptsname");
    }
    slavePath_ = name.data();
    // Without the watch the emulator cannot tell when the slave is opened again after a close;
    // it then looks now and again instead (see EmulatedLink).
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 && ::inotify_add_watch(watch_, slavePath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        ::close(watch_);
        watch_ = -1;
    }
}

PseudoTerminal::~PseudoTerminal() {
    close();
}

PseudoTerminal::ReadResult PseudoTerminal::read(std::span<std::uint8_t> buffer) {
    if (master_ < 0) {
        return {ReadStatus::hungUp, 0};
    }
    const auto count = ::read(master_, buffer.data(), buffer.size());
    if (count > 0) {
        return {ReadStatus::bytes, static_cast<std::size_t>(count)};
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        return {ReadStatus::nothing, 0};
    }
    return {ReadStatus::hungUp, 0};  // EIO: the last holder of the slave closed it
}

std::size_t PseudoTerminal::write(core::ByteView bytes) {
    std::size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const auto count = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // the line is full or gone: like a serial line, the rest is lost
        }
    }
    return done;
}

bool PseudoTerminal::hungUp() const {
    if (master_ < 0) {
        return true;
    }
    pollfd item{master_, POLLIN, 0};
    return ::poll(&item, 1, 0) > 0 && (item.revents & POLLHUP) != 0;
}

void PseudoTerminal::discardQueued() {
    if (master_ >= 0) {
        ::tcflush(master_, TCIOFLUSH);
    }
}

void PseudoTerminal::drainWatch() {
    std::array<char, 1024> events{};
    while (watch_ >= 0 && ::read(watch_, events.data(), events.size()) > 0) {
    }
}

void PseudoTerminal::close() {
    if (watch_ >= 0) {
        ::close(watch_);
        watch_ = -1;
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) {
        fail("eventfd");
    }
}

WakeEvent::~WakeEvent() {
    ::close(fd_);
}

void WakeEvent::set() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof(one));
}

void WakeEvent::clear() noexcept {
    std::uint64_t value = 0;
    [[maybe_unused]] const auto taken = ::read(fd_, &value, sizeof(value));
}

}  // namespace kinetra::sim
