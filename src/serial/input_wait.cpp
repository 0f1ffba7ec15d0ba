// poll() on a port's descriptor and a stop signal, for the link's reader thread (POSIX).
#include "serial/input_wait.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace kinetra::serial {

InputWake waitForInput(int fd, Deadline deadline, const platform::StopSignal* stop) {
    pollfd items[2] = {{fd, POLLIN, 0}, {stop != nullptr ? stop->fd() : -1, POLLIN, 0}};
    const nfds_t count = stop != nullptr ? 2 : 1;
    for (;;) {
        int waitMs = -1;
        if (deadline != Deadline::max()) {
            const auto left =
                std::chrono::ceil<Milliseconds>(deadline - std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::clamp<Milliseconds::rep>(left.count(), 0, INT_MAX));
        }
        const int ready = ::poll(items, count, waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return InputWake::hangup;  // only a broken descriptor gets here
        }
        if (count == 2 && items[1].revents != 0) {
            return InputWake::stopped;
        }
        const short seen = items[0].revents;
        if ((seen & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return InputWake::hangup;
        }
        if ((seen & POLLIN) != 0) {
            return InputWake::input;
        }
        if (ready == 0 && waitMs == 0) {
            return InputWake::timeout;
        }
    }
}

}  // namespace kinetra::serial
