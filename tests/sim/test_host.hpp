// The host's end of an emulated link for the emulator's tests: the pseudo-terminal's slave side
// opened as the server opens a port, frames from the link builders out, decoded payloads in.
// Every wait is bounded and wakes when bytes arrive. Also the helpers that build what a host
// writes. Test thread only.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bundle/device_messages.hpp"
#include "link/frame_codec.hpp"
#include "link/reply.hpp"
#include "model/axis_slot.hpp"
#include "serial/serial_port.hpp"

namespace kinetra::sim::testing {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

/// Generous: the machine is shared; every wait ends as soon as its event happens.
inline constexpr Milliseconds kReplyWait = 5000ms;

/// The message a server builder made (tests build only messages that exist).
inline core::Bytes bytesOf(const bundle::BuiltMessage& built) {
    return std::get<core::Bytes>(built);
}
/// Axis values as a bundle command parses them from a request.
inline model::AxisValues axes(std::initializer_list<std::pair<model::AxisSlot, float>> given) {
    model::AxisValues values;
    for (const auto& [slot, value] : given) {
        values.values[static_cast<std::size_t>(slot)] = value;
    }
    return values;
}
/// The encoded frame a link builder writes: frameOf(link::frames::identify).
template <typename Build>
core::Bytes frameOf(Build&& build) {
    link::FrameEncoder encoder;
    build(encoder);
    return {encoder.encoded().begin(), encoder.encoded().end()};
}
/// The payload inside encoded frames (of the last one when there are several).
inline core::Bytes payloadIn(core::ByteView frames) {
    link::FrameDecoder decoder;
    core::Bytes payload;
    decoder.feed(frames, [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    return payload;
}
template <typename Build>
core::Bytes payloadOf(Build&& build) {
    return payloadIn(frameOf(std::forward<Build>(build)));
}

class TestHost {
public:
    explicit TestHost(std::string path) : path_(std::move(path)) { reopen(); }

    void close() { port_.reset(); }
    /// Opens the slave side again (a server restart); the decoder starts afresh.
    void reopen() {
        port_ = serial::openSerialPort(path_);
        if (!port_ || !port_->configure({})) {
            throw std::runtime_error("cannot open " + path_);
        }
        decoder_.reset();
        lineEnded = false;
    }
    /// Writes the frame `build` makes (a pseudo-terminal takes a short frame at once).
    template <typename Build>
    void send(Build&& build) {
        const auto frame = frameOf(std::forward<Build>(build));
        ASSERT_EQ(port_->write(frame, kReplyWait), frame.size());
    }
    /// Sends the frame `build` makes and waits for a payload that begins with `header`.
    template <typename Build>
    bool exchange(Build&& build, const link::ReplyHeader& header) {
        const auto from = payloads.size();
        send(std::forward<Build>(build));
        return readUntil([&] {
            return std::any_of(payloads.begin() + static_cast<std::ptrdiff_t>(from), payloads.end(),
                               [&](const auto& p) { return link::matchesHeader(p, header); });
        });
    }

    /// Reads and decodes what arrives until `done` holds; false on timeout or when the line ends.
    bool readUntil(const std::function<bool()>& done, Milliseconds timeout = kReplyWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::array<std::uint8_t, 4096> buffer{};
        while (!done()) {
            const auto left =
                std::chrono::ceil<Milliseconds>(deadline - std::chrono::steady_clock::now());
            if (!port_ || lineEnded || left.count() <= 0) {
                return false;
            }
            const auto read = port_->read(buffer, left);
            // The emulator closed the master side: the line has ended.
            lineEnded = read.status == serial::ReadStatus::closed;
            if (read.status == serial::ReadStatus::data) {
                decoder_.feed(std::span(buffer).first(read.count),
                              [&](core::ByteView p) { payloads.emplace_back(p.begin(), p.end()); });
            }
        }
        return true;
    }
    /// Frames the decoder threw away (bad sum, noise).
    std::uint64_t discarded() const { return decoder_.discardedFrames(); }

    std::vector<core::Bytes> payloads;  // every payload decoded, in order
    bool lineEnded = false;

private:
    std::string path_;
    std::unique_ptr<serial::SerialPort> port_;
    link::FrameDecoder decoder_;
};

}  // namespace kinetra::sim::testing
