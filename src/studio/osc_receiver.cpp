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

}  // namespace

OscReceiver::OscReceiver(const StudioSettings& settings, Links links, StudioCounters& counters)
    : links_(std::move(links)),
      filter_(settings.trustedNetworks),
      socket_(io_),
      dispatch_(bus::SocketRegistry::instance().context(), counters),
      loop_({.name = "OSC",
             .datagramSize = kDatagramSize,
             .received = &counters.messagesReceived,
             .untrusted = &counters.messagesDropped},
            filter_, counters) {
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

std::optional<SteadyTime> OscReceiver::nextDeadline() const {
    std::optional<SteadyTime> next;
    for (const auto& [linkId, stick] : sticks_) {
        next = next ? std::min(*next, stick.deadline) : stick.deadline;
    }
    return next;
}

// Sleeps until a datagram, a bus reply or the nearest stick deadline.
void OscReceiver::run() {
    asio::ip::udp::socket* const sockets[] = {&socket_};
    loop_.run(thread_, sockets, dispatch_,
              {.take = [this](std::size_t, std::span<std::uint8_t> datagram,
                              const asio::ip::udp::endpoint& from,
                              SteadyTime now) { handle(datagram, from.address(), now); },
               .afterWake = [this](SteadyTime now) { releaseSticks(now); },
               .nextDeadline = [this](SteadyTime) { return nextDeadline(); },
               .wakeFd = -1,
               .onWake = {}});
}

// A datagram from a trusted source (the loop has judged it).
void OscReceiver::handle(std::span<std::uint8_t> datagram, const asio::ip::address& source,
                         SteadyTime now) {
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
    loop_.log(kind, text, true, now);
}

}  // namespace kinetra::studio
