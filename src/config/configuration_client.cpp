#include "config/configuration_client.hpp"

#include <zmq.hpp>

#include "bus/envelope.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"

namespace kinetra::config {

std::optional<json> requestConfigurationSection(std::string_view endpoint, std::string_view section,
                                                std::chrono::milliseconds timeout) {
    auto context = bus::SocketRegistry::instance().context();
    // The send is bounded too: a request socket that connects while the service's socket is
    // being torn down has no peer left, and an unbounded send would wait forever.
    auto socket = bus::makeRequestSocket(*context, std::string(endpoint), {.sendTimeout = timeout});
    const auto request = core::dumpCompact(json{{"command", section}});
    if (!socket.send(zmq::buffer(request), zmq::send_flags::none)) {
        return std::nullopt;
    }
    const auto reply = bus::receiveWithin(socket, timeout);
    if (!reply) {
        return std::nullopt;
    }
    return bus::parseRequest(reply->to_string_view());
}

}  // namespace kinetra::config
