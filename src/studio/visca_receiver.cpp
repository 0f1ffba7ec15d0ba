// The VISCA thread ("visca"): one poll over the cameras' sockets, the bus replies, the status
// wake-up and the stop signal, with the cameras' nearest deadline as timeout.
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
constexpr int kDatagramsPerTurn = 256;  // per port; then the others, the bus and timers
constexpr int kExpiryCheckMs = 1000;

}  // namespace

ViscaReceiver::ViscaReceiver(const StudioSettings& settings, ViewLookup view,
                             StudioCounters& counters)
    : view_(std::move(view)),
      counters_(counters),
      filter_(settings.trustedNetworks),
      dispatch_(bus::SocketRegistry::instance().context(), counters, "VISCA",
                counters.visca.commandsSent),
      buffer_(kDatagramSize) {
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
                log(kind, text, problem, now_);
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

int ViscaReceiver::pollTimeout(SteadyTime now) const {
    std::optional<SteadyTime> next;
    for (const auto& port : ports_) {
        if (const auto at = port.camera->nextDeadline(now)) {
            next = next ? std::min(*next, *at) : *at;
        }
    }
    int timeout = -1;
    if (next) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
        timeout = static_cast<int>(std::clamp<std::int64_t>(left, 0, kExpiryCheckMs));
    }
    // Pending requests are checked for expiry now and then.
    if (!dispatch_.idle()) {
        timeout = timeout < 0 ? kExpiryCheckMs : std::min(timeout, kExpiryCheckMs);
    }
    return timeout;
}

void ViscaReceiver::run() {
    while (!thread_.stopRequested()) {
        platform::faultPoint();
        try {
            auto dealers = dispatch_.sockets();
            std::vector<zmq::pollitem_t> items{
                {nullptr, thread_.stopSignal().fd(), ZMQ_POLLIN, 0},
                {nullptr, statusWake_.fd(), ZMQ_POLLIN, 0},
            };
            for (auto& port : ports_) {
                items.push_back({nullptr, port.socket.native_handle(), ZMQ_POLLIN, 0});
            }
            for (auto& dealer : dealers) {
                items.push_back(zmq::pollitem_t{dealer.handle(), 0, ZMQ_POLLIN, 0});
            }
            zmq::poll(items,
                      std::chrono::milliseconds(pollTimeout(std::chrono::steady_clock::now())));
            if (thread_.stopRequested()) {
                return;
            }
            now_ = std::chrono::steady_clock::now();
            if ((items[1].revents & ZMQ_POLLIN) != 0) {
                statusWake_.clear();
                for (auto& port : ports_) {
                    port.camera->statusArrived(now_);
                }
            }
            for (std::size_t i = 0; i < ports_.size(); ++i) {
                if ((items[2 + i].revents & ZMQ_POLLIN) != 0) {
                    receive(ports_[i], now_);
                }
            }
            dispatch_.takeReplies(now_);
            bool awaiting = false;
            for (auto& port : ports_) {
                port.camera->tick(now_);
                awaiting = awaiting || port.camera->awaitsStatus();
            }
            awaitingStatus_.store(awaiting, std::memory_order_relaxed);
            dispatch_.expire(now_);
        } catch (const zmq::error_t& error) {
            if (error.num() == ETERM) {
                return;
            }
            spdlog::warn("VISCA: {0}", error.what());
        } catch (const std::exception& error) {
            spdlog::warn("VISCA: {0}", error.what());
        }
    }
}

// The source is judged before a byte of the datagram is read.
void ViscaReceiver::receive(Port& port, SteadyTime now) {
    for (int i = 0; i < kDatagramsPerTurn; ++i) {
        asio::ip::udp::endpoint sender;
        std::error_code error;
        const auto size = port.socket.receive_from(asio::buffer(buffer_), sender, 0, error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            return;
        }
        if (error) {
            log("socket", "receive: " + error.message(), true, now);
            return;
        }
        counters_.visca.datagrams.fetch_add(1, std::memory_order_relaxed);
        if (!filter_.allows(sender.address())) {
            counters_.visca.untrusted.fetch_add(1, std::memory_order_relaxed);
            log("untrusted", "dropped a datagram from untrusted " + sender.address().to_string(),
                true, now);
            continue;
        }
        port.camera->take(std::span<const std::uint8_t>(buffer_.data(), size), sender, now);
    }
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
        log("socket", "reply to " + to.address().to_string() + ": " + error.message(), true, now_);
    }
}

void ViscaReceiver::log(std::string_view kind, const std::string& text, bool problem,
                        SteadyTime now) {
    if (problem) {
        counters_.setError("VISCA: " + text);
    }
    if (const auto held = logLimiter_.admit(kind, now)) {
        const auto more = core::heldBackNote(*held);
        if (problem) {
            spdlog::warn("VISCA: {0}{1}", text, more);
        } else {
            spdlog::info("VISCA: {0}{1}", text, more);
        }
    }
}

}  // namespace kinetra::studio
