// The per-thread socket table. Each worker thread has its own table (thread_local), so no lock
// guards it; the table and its sockets are closed on that thread when it ends.
#include "gateway/request_sockets.hpp"

#include <atomic>
#include <unordered_map>
#include <utility>

#include "bus/socket_registry.hpp"

namespace kinetra::gateway {
namespace {

std::atomic<std::size_t> keptSockets{0};

struct ThreadSockets {
    std::unordered_map<std::string, zmq::socket_t> byEndpoint;

    ~ThreadSockets() { keptSockets -= byEndpoint.size(); }

    void erase(std::unordered_map<std::string, zmq::socket_t>::iterator entry) {
        byEndpoint.erase(entry);
        --keptSockets;
    }

    // Endpoints that closed (a link that went away) need their sockets no more.
    void dropClosed() {
        const auto& registry = bus::SocketRegistry::instance();
        for (auto entry = byEndpoint.begin(); entry != byEndpoint.end();) {
            auto next = std::next(entry);
            if (!registry.isOpen(entry->first)) {
                erase(entry);
            }
            entry = next;
        }
    }

    // Reserves room for one more kept socket in the process, if there is any.
    bool reserve() {
        if (keptSockets.fetch_add(1) < RequestSocket::kMaxKept) {
            return true;
        }
        --keptSockets;
        dropClosed();
        if (keptSockets.fetch_add(1) < RequestSocket::kMaxKept) {
            return true;
        }
        --keptSockets;
        return false;
    }
};

ThreadSockets& threadSockets() {
    thread_local ThreadSockets sockets;
    return sockets;
}

zmq::socket_t makeSocket(zmq::context_t& context, const std::string& endpoint,
                         int receiveTimeoutMs) {
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::rcvtimeo, receiveTimeoutMs);
    socket.set(zmq::sockopt::linger, 0);  // an unanswered request is dropped on close
    socket.set(zmq::sockopt::req_relaxed, 1);
    socket.set(zmq::sockopt::req_correlate, 1);
    socket.connect(endpoint);
    return socket;
}

}  // namespace

RequestSocket RequestSocket::acquire(zmq::context_t& context, const std::string& endpoint,
                                     int receiveTimeoutMs) {
    auto& sockets = threadSockets();
    if (const auto found = sockets.byEndpoint.find(endpoint); found != sockets.byEndpoint.end()) {
        return RequestSocket(endpoint, &found->second, std::nullopt);
    }
    zmq::socket_t socket = makeSocket(context, endpoint, receiveTimeoutMs);
    if (!sockets.reserve()) {
        return RequestSocket(endpoint, nullptr, std::move(socket));
    }
    auto& kept = sockets.byEndpoint.emplace(endpoint, std::move(socket)).first->second;
    return RequestSocket(endpoint, &kept, std::nullopt);
}

void RequestSocket::forget(const std::string& endpoint) {
    auto& sockets = threadSockets();
    if (const auto found = sockets.byEndpoint.find(endpoint); found != sockets.byEndpoint.end()) {
        sockets.erase(found);
    }
}

std::size_t RequestSocket::keptCount() {
    return keptSockets.load();
}

void RequestSocket::discard() {
    if (own_) {
        own_->close();
    } else if (kept_ != nullptr) {
        kept_ = nullptr;
        forget(endpoint_);
    }
}

}  // namespace kinetra::gateway
