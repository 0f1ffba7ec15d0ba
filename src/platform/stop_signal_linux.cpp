// Linux: an eventfd whose counter is raised once and never read back.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace kinetra::platform
