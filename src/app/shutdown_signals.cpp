// The shutdown-signal thread: poll on the signalfd and the stop signal, nothing else.
#include "app/shutdown_signals.hpp"
#include "platform/thread_name.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kinetra::app {

ShutdownSignals::ShutdownSignals(const sigset_t& signals, std::function<void()> onSignal)
    : signalFd_(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK)),
      onSignal_(std::move(onSignal)) {
    if (signalFd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
    thread_ = std::jthread([this] { watch(); });
}

ShutdownSignals::~ShutdownSignals() {
    stop_.set();
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(signalFd_);
}

void ShutdownSignals::watch() {
    platform::nameThisThread("signals");
    while (!stop_.isSet()) {
        pollfd items[2] = {{signalFd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        if (::poll(items, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        signalfd_siginfo info{};
        if ((items[0].revents & POLLIN) != 0 &&
            ::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            onSignal_();
        }
    }
}

}  // namespace kinetra::app
