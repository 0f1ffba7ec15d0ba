// Linux: an eventfd whose counter is raised once and never read back.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

#include "platform/stop_signal.hpp"

namespace kinetra::platform {

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

StopSignal::~StopSignal() {
    ::close(fd_);
}

void StopSignal::set() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof(one));
}

bool StopSignal::isSet() const noexcept {
    pollfd item{fd_, POLLIN, 0};
    return ::poll(&item, 1, 0) > 0;
}

bool StopSignal::waitFor(std::chrono::milliseconds duration) const noexcept {
    // poll may return early (EINTR): wait out the rest of the bound on a steady clock.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds(0)) {
            return !isSet();
        }
        // poll takes an int of milliseconds: a long sleep is taken in slices.
        const auto slice = std::min(left, std::chrono::milliseconds(std::chrono::hours(1)));
        pollfd item{fd_, POLLIN, 0};
        if (::poll(&item, 1, static_cast<int>(slice.count())) > 0) {
            return false;
        }
    }
}

}  // namespace kinetra::platform
