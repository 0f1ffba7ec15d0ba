#include "bus/announce.hpp"

#include <atomic>
#include <cstdint>

#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"

namespace kinetra::bus {
namespace {

constexpr int kAnnouncementLingerMs = 100;

// Orders announcements across the open and closed sockets (see SocketRegistry::apply).
std::atomic<std::uint64_t> announcementSequence{0};

std::uint64_t announce(std::string_view registryEndpoint, std::span<const std::string> endpoints) {
    auto context = SocketRegistry::instance().context();
    zmq::socket_t push(*context, zmq::socket_type::push);
    push.set(zmq::sockopt::linger, kAnnouncementLingerMs);
    push.connect(std::string(registryEndpoint));
    std::uint64_t sequence = 0;
    for (const auto& endpoint : endpoints) {
        sequence = ++announcementSequence;
        if (push.send(zmq::buffer(endpoint),
                      zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
            (void)push.send(zmq::buffer(&sequence, sizeof(sequence)), zmq::send_flags::dontwait);
        }
    }
    return sequence;
}

}  // namespace

std::uint64_t announceOpen(std::span<const std::string> endpoints) {
    return announce(kOpenSocket, endpoints);
}

std::uint64_t announceClosed(std::span<const std::string> endpoints) {
    return announce(kClosedSocket, endpoints);
}

}  // namespace kinetra::bus
