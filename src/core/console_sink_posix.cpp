// POSIX: write(2) in pieces no larger than an atomic pipe write, each after poll says the
// descriptor takes it, so a pipe nobody reads holds up nothing but this sink.
#include "core/console_sink.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>

#include <spdlog/details/log_msg.h>

namespace kinetra::core {
namespace {

using Clock = std::chrono::steady_clock;

// The colours of the level names, as the console has always shown them.
constexpr std::array<std::string_view, 7> kLevelColours{
    "\033[37m",         // trace: white
    "\033[36m",         // debug: cyan
    "\033[32m",         // info: green
    "\033[33m\033[1m",  // warning: bold yellow
    "\033[31m\033[1m",  // error: bold red
    "\033[1m\033[41m",  // critical: bold on red
    "",                 // off
};
constexpr std::string_view kResetColour = "\033[m";

std::int64_t ticksOf(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

}  // namespace

ConsoleSink::ConsoleSink(int fd) : fd_(fd), colour_(::isatty(fd) == 1) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_[0] = wake_[1] = -1;  // then a closing write waits out its slices instead
    }
}

ConsoleSink::~ConsoleSink() {
    for (const int end : wake_) {
        if (end >= 0) {
            ::close(end);
        }
    }
}

void ConsoleSink::closeWithin(std::chrono::milliseconds bound) {
    closeDeadline_ = ticksOf(Clock::now() + bound);
    closing_ = true;
    if (wake_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(wake_[1], &byte, 1);
    }
}

void ConsoleSink::sink_it_(const spdlog::details::log_msg& message) {
    spdlog::memory_buf_t formatted;
    formatter_->format(message, formatted);
    const std::string_view line(formatted.data(), formatted.size());
    const bool coloured = colour_ && message.color_range_end > message.color_range_start;
    bool written = false;
    if (coloured) {
        const auto level = static_cast<std::size_t>(message.level);
        written = writeAll(line.substr(0, message.color_range_start)) &&
                  writeAll(kLevelColours[std::min(level, kLevelColours.size() - 1)]) &&
                  writeAll(line.substr(message.color_range_start,
                                       message.color_range_end - message.color_range_start)) &&
                  writeAll(kResetColour) && writeAll(line.substr(message.color_range_end));
    } else {
        written = writeAll(line);
    }
    if (!written) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

bool ConsoleSink::writeAll(std::string_view bytes) {
    // A poll that reports a pipe writable promises room for PIPE_BUF bytes: a piece that size
    // goes in whole without blocking.
    constexpr std::size_t kPiece = PIPE_BUF;
    constexpr int kSlice = 100;  // ms; only without a wake pipe, or to look at the close bound
    while (!bytes.empty()) {
        int timeout = -1;
        bool lastChance = false;  // closing and past the bound: only what goes in at once
        if (closing_) {
            const auto left = closeDeadline_.load() - ticksOf(Clock::now());
            lastChance = left <= 0;
            timeout = lastChance
                          ? 0
                          : static_cast<int>(std::min<std::int64_t>(left / 1'000'000 + 1, kSlice));
        } else if (wake_[0] < 0) {
            timeout = kSlice;
        }
        std::array<pollfd, 2> items{{{fd_, POLLOUT, 0}, {closing_ ? -1 : wake_[0], POLLIN, 0}}};
        const int ready = ::poll(items.data(), items.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if ((items[0].revents & (POLLERR | POLLNVAL)) != 0) {
            return false;  // closed, or never open: nobody will read these lines
        }
        if ((items[0].revents & POLLOUT) == 0) {
            if (lastChance) {
                return false;
            }
            continue;  // not yet, or the log began closing: the next turn is bounded
        }
        const auto count = ::write(fd_, bytes.data(), std::min(bytes.size(), kPiece));
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

}  // namespace kinetra::core
