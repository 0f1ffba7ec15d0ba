#include "studio/osc_receiver.hpp"

#include <algorithm>
#include <functional>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "studio/datagram_socket.hpp"
#include "studio/osc_decode.hpp"

namespace kinetra::studio {
namespace {

constexpr std::size_t kDatagramSize = 65536;
constexpr int kDatagramsPerTurn = 256;  // then the replies and the sticks get their turn
constexpr int kExpiryCheckMs = 1000;

}  // namespace

OscReceiver::OscReceiver(const StudioSettings& settings, Links links, StudioCounters& counters)
    : links_(std::move(links)),
      counters_(counters),
      filter_(settings.trustedNetworks),
      socket_(io_),
      dispatch_(bus::SocketRegistry::instance().context(), counters),
      buffer_(kDatagramSize) {
    for (const auto& entry : filter_.rejected()) {
        spdlog::warn(
            "Configuration value security.trustedNetworks: \"{0}\" is not a network; "
            "left out.",
            entry);
    }
    socket_ =
        openDatagramSocket(io_, {asio::ip::make_address(settings.oscAddress), settings.oscPort});
    spdlog::info("OSC input on {0}:{1}.", settings.oscAddress, settings.oscPort);
    // Restarted after a failure: the socket, the sticks and the pending commands are members.
    thread_.start({.name = "osc", .service = "OSC input"}, [this](std::stop_token) { run(); });
}

OscReceiver::~OscReceiver() {
    thread_.stop();
}

int OscReceiver::pollTimeout(SteadyTime now) const {
    int timeout = -1;
    for (const auto& [linkId, stick] : sticks_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(stick.deadline - now).count();
        const int ms = static_cast<int>(std::max<std::int64_t>(0, left));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    // Pending requests have deadlines, and routes to closed endpoints are dropped.
    if (const auto due = dispatch_.nextDeadline()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
        const int ms = static_cast<int>(std::clamp<std::int64_t>(left, 0, kExpiryCheckMs));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return timeout;
}

// Sleeps in one poll over the datagram socket, the stop signal and the bus replies, with the
// nearest stick deadline as timeout.
void OscReceiver::run() {
    while (!thread_.stopRequested()) {
        platform::faultPoint();
        try {
            auto dealers = dispatch_.sockets();
            std::vector<zmq::pollitem_t> items{
                {nullptr, socket_.native_handle(), ZMQ_POLLIN, 0},
                {nullptr, thread_.stopSignal().fd(), ZMQ_POLLIN, 0},
            };
            for (auto& dealer : dealers) {
                items.push_back(zmq::pollitem_t{dealer.handle(), 0, ZMQ_POLLIN, 0});
            }
            zmq::poll(items,
                      std::chrono::milliseconds(pollTimeout(std::chrono::steady_clock::now())));
            if (thread_.stopRequested()) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            if ((items[0].revents & ZMQ_POLLIN) != 0) {
                receive(now);
            }
            dispatch_.takeReplies(now);
            releaseSticks(now);
            dispatch_.expire(now);
        } catch (const zmq::error_t& error) {
            if (error.num() == ETERM) {
                return;
            }
            spdlog::warn("OSC: {0}", error.what());
        } catch (const std::exception& error) {
            spdlog::warn("OSC: {0}", error.what());
        }
    }
}

void OscReceiver::receive(SteadyTime now) {
    for (int i = 0; i < kDatagramsPerTurn; ++i) {
        asio::ip::udp::endpoint sender;
        std::error_code error;
        const auto size = socket_.receive_from(asio::buffer(buffer_), sender, 0, error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            return;
        }
        if (error) {
            logDropped("socket", "receive: " + error.message(), now);
            return;
        }
        counters_.messagesReceived.fetch_add(1, std::memory_order_relaxed);
        handle(std::span(buffer_.data(), size), sender.address(), now);
    }
}

// The source is judged before a byte of the datagram is decoded.
void OscReceiver::handle(std::span<std::uint8_t> datagram, const asio::ip::address& source,
                         SteadyTime now) {
    if (!filter_.allows(source)) {
        counters_.messagesDropped.fetch_add(1, std::memory_order_relaxed);
        logDropped("untrusted", "dropped a datagram from untrusted " + source.to_string(), now);
        return;
    }
    auto decoded = decodeOsc(datagram);
    if (auto* reason = std::get_if<std::string>(&decoded)) {
        logDropped("undecodable", *reason + " from " + source.to_string(), now);
        return;
    }
    // Each source is its own client of the bundles: bounded and served in turn apart.
    const auto client = std::hash<std::string>{}(source.to_string());
    perform(mapOscMessage(std::get<OscMessage>(decoded), links_.axesOf), client, now);
}

void OscReceiver::perform(OscAction action, std::uint64_t client, SteadyTime now) {
    if (auto* reason = std::get_if<std::string>(&action)) {
        logDropped("ignored", *reason, now);
        return;
    }
    if (std::holds_alternative<AbortAll>(action)) {
        // The device service's one stop reaches every paired bundle at once, also those this
        // thread has not heard of yet.
        sticks_.clear();
        dispatch_.send(std::string(bus::kDeviceEndpoint), R"({"command":"motionAbortAll"})", false,
                       now, client);
        return;
    }
    auto& command = std::get<BundleCommand>(action);
    if (command.joystick && command.moving) {
        sticks_[command.linkId] = Stick{zeroJoystick(command), now + kStickPatience, client};
    } else {
        sticks_.erase(command.linkId);  // let go, or any other command takes over the gear
    }
    sendToBundle(command, client, now);
}

void OscReceiver::sendToBundle(const BundleCommand& command, std::uint64_t client, SteadyTime now,
                               bool stop) {
    dispatch_.send(bus::bundleEndpoint(command.linkId), core::dumpCompact(command.request),
                   command.joystick, now, client, stop);
}

void OscReceiver::releaseSticks(SteadyTime now) {
    for (auto it = sticks_.begin(); it != sticks_.end();) {
        if (it->second.deadline > now) {
            ++it;
            continue;
        }
        spdlog::info("OSC: no joystick message for {0} within {1} ms; the stick is let go.",
                     it->first, kStickPatience.count());
        // The server's own stop: ahead of whatever waits at the bundle.
        sendToBundle(it->second.zero, it->second.client, now, true);
        it = sticks_.erase(it);
    }
}

void OscReceiver::logDropped(const std::string& kind, const std::string& text, SteadyTime now) {
    counters_.setError("OSC: " + text);
    if (const auto held = logLimiter_.admit(kind, now)) {
        spdlog::warn("OSC: {0}{1}", text, core::heldBackNote(*held));
    }
}

}  // namespace kinetra::studio
