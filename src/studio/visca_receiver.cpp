// The VISCA thread ("visca"): the studio's datagram loop over the cameras' sockets, woken also
// by a status a camera waits for, with the cameras' nearest deadline as timeout.
#include "studio/visca_receiver.hpp"

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "core/json.hpp"
#include "studio/datagram_socket.hpp"

namespace kinetra::studio {
namespace {

// A VISCA datagram is at most 24 bytes; anything longer is malformed, whatever its tail.
constexpr std::size_t kDatagramSize = 1024;

}  // namespace

ViscaReceiver::ViscaReceiver(const StudioSettings& settings, ViewLookup view,
                             StudioCounters& counters)
    : view_(std::move(view)),
      filter_(settings.trustedNetworks),
      dispatch_(bus::SocketRegistry::instance().context(), counters, "VISCA",
                counters.visca.commandsSent),
      loop_({.name = "VISCA",
             .datagramSize = kDatagramSize,
             .received = &counters.visca.datagrams,
             .untrusted = &counters.visca.untrusted},
            filter_, counters) {
    const auto address = asio::ip::make_address(settings.visca.address);
    for (const auto& [linkId, number] : settings.visca.ports) {
        Port port{openDatagramSocket(io_, {address, number}), nullptr};
        Port* self = &ports_.emplace_back(std::move(port));
        const std::size_t index = ports_.size() - 1;
        visca::ViscaCamera::Hooks hooks{
            [this](const BundleCommand& command, bool stop) {
                return stop ? sendStop(command, now_) : send(command, now_);
            },
            [this, index](const asio::ip::udp::endpoint& to, const core::Bytes& datagram) {
                reply(ports_[index], to, datagram);
            },
            [this, id = linkId] { return view_(id); },
            [this](std::string_view kind, const std::string& text, bool problem) {
                loop_.log(kind, text, problem, now_);
            }};
        self->camera = std::make_unique<visca::ViscaCamera>(linkId, settings.visca,
                                                            std::move(hooks), counters.visca);
        spdlog::info("VISCA input for {0} on {1}:{2}.", linkId, settings.visca.address, number);
    }
    // Restarted after a failure: the socket, the sticks and the pending commands are members.
    thread_.start({.name = "visca", .service = "VISCA input"}, [this](std::stop_token) { run(); });
}

ViscaReceiver::~ViscaReceiver() {
    thread_.stop();
}

void ViscaReceiver::statusArrived() noexcept {
    if (awaitingStatus_.load(std::memory_order_relaxed)) {
        statusWake_.raise();
    }
}

std::optional<SteadyTime> ViscaReceiver::nextDeadline(SteadyTime now) const {
    std::optional<SteadyTime> next;
    for (const auto& port : ports_) {
        if (const auto at = port.camera->nextDeadline(now)) {
            next = next ? std::min(*next, *at) : *at;
        }
    }
    return next;
}

void ViscaReceiver::tick(SteadyTime now) {
    now_ = now;
    bool awaiting = false;
    for (auto& port : ports_) {
        port.camera->tick(now);
        awaiting = awaiting || port.camera->awaitsStatus();
    }
    awaitingStatus_.store(awaiting, std::memory_order_relaxed);
}

void ViscaReceiver::run() {
    std::vector<asio::ip::udp::socket*> sockets;
    for (auto& port : ports_) {
        sockets.push_back(&port.socket);
    }
    loop_.run(thread_, sockets, dispatch_,
              {.take =
                   [this](std::size_t index, std::span<std::uint8_t> datagram,
                          const asio::ip::udp::endpoint& from, SteadyTime now) {
                       now_ = now;
                       ports_[index].camera->take(datagram, from, now);
                   },
               .afterWake = [this](SteadyTime now) { tick(now); },
               .nextDeadline = [this](SteadyTime now) { return nextDeadline(now); },
               .wakeFd = statusWake_.fd(),
               .onWake =
                   [this](SteadyTime now) {
                       now_ = now;
                       statusWake_.clear();
                       for (auto& port : ports_) {
                           port.camera->statusArrived(now);
                       }
                   }});
}

visca::ViscaCamera::Sent ViscaReceiver::send(const BundleCommand& command, SteadyTime now,
                                             bool stop) {
    const auto endpoint = bus::bundleEndpoint(command.linkId);
    if (!bus::SocketRegistry::instance().isOpen(endpoint)) {
        return visca::ViscaCamera::Sent::closed;
    }
    return dispatch_.send(endpoint, core::dumpCompact(command.request), command.joystick, now, 0,
                          stop)
               ? visca::ViscaCamera::Sent::ok
               : visca::ViscaCamera::Sent::busy;
}

// The server's own stops (a drive let go, Pan-tiltDrive Stop): no stick, so that it drops a
// stick still waiting to go, and flagged as a stop, so that it goes ahead of everything queued
// for the bundle and cancels it.
visca::ViscaCamera::Sent ViscaReceiver::sendStop(const BundleCommand& command, SteadyTime now) {
    BundleCommand stop = command;
    stop.joystick = false;
    return send(stop, now, true);
}

void ViscaReceiver::reply(Port& port, const asio::ip::udp::endpoint& to,
                          const core::Bytes& datagram) {
    std::error_code error;
    port.socket.send_to(asio::buffer(datagram), to, 0, error);
    if (error && error != asio::error::would_block && error != asio::error::try_again) {
        loop_.log("socket", "reply to " + to.address().to_string() + ": " + error.message(), true,
                  now_);
    }
}

}  // namespace kinetra::studio
