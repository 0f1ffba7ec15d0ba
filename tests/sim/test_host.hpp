// A small host for the emulator's tests: opens the slave side in raw mode, writes frames built
// with the link builders, and routes what comes back the way the server's reader does (frame
// decoder, then classify). Replies and status messages wait in queues; every wait is bounded and
// wakes when bytes arrive. Used from the test's thread only.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "bundle/command_plan.hpp"
#include "bundle/keypose_ids.hpp"
#include "bundle/status_snapshot.hpp"
#include "core/bytes.hpp"
#include "core/json.hpp"
#include "link/adapter_commands.hpp"
#include "link/classify.hpp"
#include "link/frame_codec.hpp"
#include "link/reply.hpp"
#include "model/link_types.hpp"

namespace kinetra::sim::testing {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

/// Generous bounds: the machine is shared; every wait ends as soon as its event happens.
inline constexpr Milliseconds kReplyWait = 2000ms;
inline constexpr Milliseconds kLongWait = 5000ms;

class TestHost {
public:
    TestHost(const std::string& path, model::LinkType linkType);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    void close();
    void reopen();
    bool isOpen() const { return fd_ >= 0; }

    /// Writes bytes as they are.
    void write(core::ByteView bytes);
    /// Writes the frame a builder left in the encoder.
    void send(const link::FrameEncoder& encoder) { write(encoder.encoded()); }
    /// Builds with `build` (one of link::frames) and writes it.
    template <typename Build>
    void send(Build&& build) {
        link::FrameEncoder encoder;
        build(encoder);
        write(encoder.encoded());
    }
    /// Writes a device message wrapped for `connection()` (unframed for a stop-motion module).
    void sendDevice(core::ByteView message, link::Delivery delivery = link::Delivery::acknowledged);

    /// The next response matching `header`; responses before it are dropped (as the server's
    /// waiting sender does). Nothing after `timeout`.
    std::optional<link::Reply> awaitResponse(const link::ReplyHeader& header,
                                             Milliseconds timeout = kReplyWait);
    /// The next response of any kind (the acknowledgement text included).
    std::optional<core::Bytes> awaitAnyResponse(Milliseconds timeout = kReplyWait);
    /// Sends the frame `build` makes, then waits for `header`.
    template <typename Build>
    std::optional<link::Reply> exchange(Build&& build, const link::ReplyHeader& header,
                                        Milliseconds timeout = kReplyWait) {
        flushResponses();
        send(std::forward<Build>(build));
        return awaitResponse(header, timeout);
    }
    void flushResponses() { responses_.clear(); }

    /// Waits for a status message that satisfies `predicate` (any one when none is given).
    std::optional<core::Bytes> awaitStatus(
        const std::function<bool(const bundle::DeviceStatusSnapshot&)>& predicate = {},
        Milliseconds timeout = kReplyWait);
    /// The last status message received, decoded.
    std::optional<bundle::DeviceStatusSnapshot> latestStatus() const;
    std::size_t statusCount() const { return statusCount_; }
    /// Waits until nothing arrives for `quiet` (at most `timeout`); true when it went quiet.
    bool awaitQuiet(Milliseconds quiet, Milliseconds timeout = kLongWait);
    /// Waits until the line ends (the emulator closed its side).
    bool awaitLineEnd(Milliseconds timeout = kReplyWait);

    /// What classification made of the payloads so far.
    const link::LinkState& linkState() const { return state_; }
    model::LinkConnectionType connection() const { return connection_; }
    void setConnection(model::LinkConnectionType connection) { connection_ = connection; }
    /// Frames the decoder threw away (bad sum, noise).
    std::size_t discardedFrames() const { return discarded_; }
    /// Every payload decoded, in order.
    const std::vector<core::Bytes>& payloads() const { return payloads_; }

    /// Runs one bundle command as the server would: planned from the latest status, each message
    /// sent with its send mode (three attempts wait for the acknowledgement or the answer), the
    /// reply built from the outcomes.
    json command(const json& request);

private:
    /// Reads and routes what arrives until `done` holds or `deadline` passes.
    bool pump(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
    void route(core::ByteView payload);
    bundle::SendOutcome perform(const bundle::PlannedSend& send);

    std::string path_;
    int fd_ = -1;
    link::FrameDecoder decoder_;
    link::LinkState state_;
    model::LinkConnectionType connection_ = model::LinkConnectionType::none;
    std::deque<core::Bytes> responses_;
    std::optional<core::Bytes> latestStatus_;
    std::size_t statusCount_ = 0;
    std::size_t discarded_ = 0;
    std::vector<core::Bytes> payloads_;
    bundle::KeyposeIdCounters ids_;
};

/// The payload inside one encoded frame.
core::Bytes payloadOf(const link::FrameEncoder& encoder);

}  // namespace kinetra::sim::testing
