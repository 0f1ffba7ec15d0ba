// The shutdown-signal thread: poll on the signalfd and the stop signal, nothing else.
#include "app/shutdown_signals.hpp"

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
    // The one way a signal stops the server: after a failure it watches again.
    thread_.start({.name = "signals", .service = "Shutdown signal watch"},
                  [this](std::stop_token) { watch(); });
}

ShutdownSignals::~ShutdownSignals() {
    thread_.stop();
    ::close(signalFd_);
}

void ShutdownSignals::watch() {
    while (!thread_.stopRequested()) {
        platform::faultPoint();
        pollfd items[2] = {{signalFd_, POLLIN, 0}, {thread_.stopSignal().fd(), POLLIN, 0}};
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
