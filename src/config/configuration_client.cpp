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
    socket.connect(std::string(endpoint));
    const auto request = core::dumpCompact(json{{"command", section}});
    socket.send(zmq::buffer(request), zmq::send_flags::none);
    const auto reply = bus::receiveWithin(socket, timeout);
    if (!reply) {
        return std::nullopt;
    }
    return bus::parseRequest(reply->to_string_view());
}

}  // namespace kinetra::config
