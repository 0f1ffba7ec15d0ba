// A small host for tests against the emulator: opens the slave side in raw mode, writes frames
// built with the link builders, and routes what comes back the way the server's reader does
// (frame decoder, then classify). Every wait is bounded and wakes when bytes arrive. Also the
// helpers that build what a host writes. Used from the test's thread only.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bundle/device_messages.hpp"
#include "bundle/status_snapshot.hpp"
#include "core/bytes.hpp"
#include "link/adapter_commands.hpp"
#include "link/classify.hpp"
#include "link/frame_codec.hpp"
#include "link/reply.hpp"
#include "model/axis_slot.hpp"
#include "model/link_types.hpp"

namespace kinetra::sim::testing {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

/// Generous bounds: the machine is shared; every wait ends as soon as its event happens.
inline constexpr Milliseconds kReplyWait = 2000ms;
inline constexpr Milliseconds kLongWait = 5000ms;

/// The message a server builder made (tests build only messages that exist).
core::Bytes bytesOf(const bundle::BuiltMessage& built);
/// Axis values as a bundle command parses them from a request.
model::AxisValues axes(std::initializer_list<std::pair<model::AxisSlot, float>> given);

/// The encoded frame a link builder writes: frameOf(link::frames::identify).
template <typename Build>
core::Bytes frameOf(Build&& build) {
    link::FrameEncoder encoder;
    build(encoder);
    return {encoder.encoded().begin(), encoder.encoded().end()};
}
/// The payload inside encoded frames (of the last one when there are several).
core::Bytes payloadIn(core::ByteView frames);
template <typename Build>
core::Bytes payloadOf(Build&& build) {
    return payloadIn(frameOf(std::forward<Build>(build)));
}

class TestHost {
public:
    TestHost(std::string path, model::LinkType linkType);
    ~TestHost() { close(); }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    void close();
    /// Opens the slave side again (a server restart); the decoder starts afresh.
    void reopen();

    /// Writes bytes as they are.
    void write(core::ByteView bytes);
    /// Builds a frame with `build` (one of link::frames) and writes it.
    template <typename Build>
    void send(Build&& build) {
        write(frameOf(std::forward<Build>(build)));
    }
    /// Writes a device message wrapped for connection() (unframed for a stop-motion module).
    void sendDevice(core::ByteView message, link::Delivery delivery = link::Delivery::acknowledged);

    /// The next response matching `header`; responses before it are dropped (as the server's
    /// waiting sender does).
    std::optional<link::Reply> awaitResponse(const link::ReplyHeader& header,
                                             Milliseconds timeout = kReplyWait);
    /// Drops queued responses, sends the frame `build` makes, then waits for `header`.
    template <typename Build>
    std::optional<link::Reply> exchange(Build&& build, const link::ReplyHeader& header,
                                        Milliseconds timeout = kReplyWait) {
        responses_.clear();
        send(std::forward<Build>(build));
        return awaitResponse(header, timeout);
    }

    /// The answer with message id `messageId` from the device at `address` over connection(), as
    /// the server's waiting sender takes it: from the message id on.
    std::optional<link::Reply> awaitDeviceReply(std::uint8_t messageId, std::uint8_t address,
                                                Milliseconds timeout = kReplyWait);
    /// Waits for a fresh status message that satisfies `predicate` (any one when none is given).
    bool awaitStatus(const std::function<bool(const bundle::DeviceStatusSnapshot&)>& predicate = {},
                     Milliseconds timeout = kReplyWait);
    std::size_t statusCount() const { return statusCount_; }
    /// Waits until nothing arrives for `quiet` (at most kLongWait); true when it went quiet.
    bool awaitQuiet(Milliseconds quiet);
    /// Waits until the line ends (the emulator closed its side).
    bool awaitLineEnd(Milliseconds timeout = kReplyWait);

    /// The medium classification paired the link over (none until then).
    model::LinkConnectionType connection() const { return connection_; }
    /// Frames the decoder threw away (bad sum, noise), and every payload decoded, in order.
    std::size_t discardedFrames() const { return discarded_; }
    const std::vector<core::Bytes>& payloads() const { return payloads_; }

private:
    /// Reads and routes what arrives until `done` holds; false on timeout or when the line ends.
    bool pump(const std::function<bool()>& done, Milliseconds timeout);
    /// The first response `accept` takes; those before it are dropped.
    std::optional<core::Bytes> awaitResponseIf(const std::function<bool(core::ByteView)>& accept,
                                               Milliseconds timeout);
    void route(core::ByteView payload);
    std::optional<bundle::DeviceStatusSnapshot> latestStatus() const;

    std::string path_;
    int fd_ = -1;
    bool lineEnded_ = false;
    link::FrameDecoder decoder_;
    link::LinkState state_;
    model::LinkConnectionType connection_ = model::LinkConnectionType::none;
    std::deque<core::Bytes> responses_;
    std::optional<core::Bytes> latestStatus_;
    std::size_t statusCount_ = 0;
    std::size_t discarded_ = 0;
    std::vector<core::Bytes> payloads_;
};

}  // namespace kinetra::sim::testing
