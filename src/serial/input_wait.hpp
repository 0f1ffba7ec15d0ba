// The read both port kinds share: sleep in poll on the port's descriptor and the stop signal's,
// then take what is there without waiting. Runs on the link's reader thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>

#include "platform/stop_signal.hpp"
#include "serial/serial_port.hpp"

namespace kinetra::serial {

using Deadline = std::chrono::steady_clock::time_point;

/// What the wait on a port's descriptor saw first.
enum class InputWake : std::uint8_t {
    input,    ///< bytes can be read
    hangup,   ///< the line ended or failed (bytes may still be readable)
    timeout,  ///< the deadline passed
    stopped,  ///< the stop signal is set
};

/// Blocks until `fd` has input or hangs up, `deadline` passes or `stop` (may be null) is set.
/// A set stop signal wins over input that is also there.
InputWake waitForInput(int fd, Deadline deadline, const platform::StopSignal* stop);

/// SerialPort::read on a descriptor. `readSome(buffer)` reads without waiting and returns the
/// count read, 0 when nothing was there, negative when the read failed (the line is gone).
template <typename ReadSome>
ReadResult readWhenReady(int fd, std::span<std::uint8_t> buffer, Milliseconds timeout,
                         const platform::StopSignal* stop, ReadSome&& readSome) {
    // A negative timeout is no bound at all: the reader thread sleeps until input or its stop.
    const auto deadline =
        timeout < Milliseconds{0} ? Deadline::max() : std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const InputWake wake = waitForInput(fd, deadline, stop);
        if (wake == InputWake::timeout) {
            return {ReadStatus::timeout, 0};
        }
        if (wake == InputWake::stopped) {
            return {ReadStatus::stopped, 0};
        }
        if (buffer.empty()) {
            return {wake == InputWake::input ? ReadStatus::data : ReadStatus::closed, 0};
        }
        // Bytes that came before a hang-up are still delivered; the next read reports closed.
        const long count = readSome(buffer);
        if (count > 0) {
            return {ReadStatus::data, static_cast<std::size_t>(count)};
        }
        if (count < 0 || wake == InputWake::hangup) {
            return {ReadStatus::closed, 0};
        }
        // Readable, yet nothing came: a sender flushed the input between the wait and the read
        // (a raw terminal then reads 0, not an error). The line is fine; wait on.
    }
}

}  // namespace kinetra::serial
