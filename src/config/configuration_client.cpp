#include "config/configuration_client.hpp"

#include <zmq.hpp>

#include "bus/envelope.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"

namespace kinetra::config {

std::optional<json> requestConfigurationSection(std::string_view endpoint, std::string_view section,
                                                std::chrono::milliseconds timeout) {
    auto context = bus::SocketRegistry::instance().context();
    zmq::socket_t socket(*context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    // The send is bounded too: a request socket that connects while the service's socket is
    // being torn down has no peer left, and an unbounded send would wait forever.
    socket.set(zmq::sockopt::sndtimeo, static_cast<int>(timeout.count()));
    socket.connect(std::string(endpoint));
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
