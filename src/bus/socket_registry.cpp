// The registry thread sleeps on both announcement sockets and its stop signal, and wakes only
// for an announcement or for the stop.
#include "bus/socket_registry.hpp"

#include <cstring>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/wait.hpp"

namespace kinetra::bus {
namespace {

constexpr int kMaxSockets = 1023;

std::shared_ptr<zmq::context_t> makeContext() {
    // Only inproc transports are used, so the context needs no I/O threads.
    auto context = std::make_shared<zmq::context_t>(0);
    context->set(zmq::ctxopt::max_sockets, kMaxSockets);
    return context;
}

}  // namespace

SocketRegistry& SocketRegistry::instance() {
    static SocketRegistry registry;
    return registry;
}

SocketRegistry::SocketRegistry()
    : context_(makeContext()),
      openSocket_(*context_, zmq::socket_type::pull),
      closedSocket_(*context_, zmq::socket_type::pull) {
    openSocket_.bind(std::string(kOpenSocket));
    closedSocket_.bind(std::string(kClosedSocket));
    thread_ = std::jthread([this] { run(); });
}

SocketRegistry::~SocketRegistry() {
    stop_.set();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool SocketRegistry::isOpen(std::string_view endpoint) const {
    std::lock_guard lock(mutex_);
    const auto found = openEndpoints_.find(std::string(endpoint));
    return found != openEndpoints_.end() && found->second;
}

std::optional<bool> SocketRegistry::entry(std::string_view endpoint) const {
    std::lock_guard lock(mutex_);
    const auto found = openEndpoints_.find(std::string(endpoint));
    if (found == openEndpoints_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void SocketRegistry::run() {
    const std::array<zmq::socket_ref, 2> sockets{openSocket_, closedSocket_};
    while (!stop_.isSet()) {
        try {
            if (!waitReadable(sockets, kForever, &stop_)) {
                continue;
            }
            // Open before closed: a pair sent without sequence numbers ends closed.
            drain(openSocket_, true);
            drain(closedSocket_, false);
        } catch (const zmq::error_t& error) {
            if (error.num() == ETERM) {
                return;
            }
            spdlog::warn("Endpoint registry: {0}", error.what());
        }
    }
}

void SocketRegistry::drain(zmq::socket_t& socket, bool open) {
    zmq::message_t name;
    while (socket.recv(name, zmq::recv_flags::dontwait)) {
        std::uint64_t sequence = 0;
        if (name.more()) {
            zmq::message_t stamp;
            (void)socket.recv(stamp, zmq::recv_flags::dontwait);
            if (stamp.size() == sizeof(sequence)) {
                std::memcpy(&sequence, stamp.data(), sizeof(sequence));
            }
            while (stamp.more() && socket.recv(stamp, zmq::recv_flags::dontwait)) {
            }
        }
        apply(name.to_string(), sequence, open);
    }
}

// Announcements arrive on two sockets, so their order across sockets is lost when both are
// pending. A link that is closed and reopened quickly would then stay "closed" although it
// serves again. Each announcement therefore carries a process-wide sequence number; an older
// one never overrides a newer one. Announcements without a number apply in arrival order.
void SocketRegistry::apply(const std::string& endpoint, std::uint64_t sequence, bool open) {
    std::lock_guard lock(mutex_);
    if (sequence != 0) {
        auto& last = lastSequence_[endpoint];
        if (sequence < last) {
            return;
        }
        last = sequence;
    }
    openEndpoints_[endpoint] = open;
}

}  // namespace kinetra::bus
