// The registry thread sleeps on both announcement sockets, the two ends of the feed and its stop
// signal, and wakes only for an announcement, a feed message or subscription, or the stop.
#include "bus/socket_registry.hpp"

#include <cstring>

#include "bus/endpoints.hpp"
#include "bus/feed.hpp"
#include "bus/service_loop.hpp"
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
      closedSocket_(*context_, zmq::socket_type::pull),
      feedIn_(*context_, zmq::socket_type::xsub),
      feedOut_(*context_, zmq::socket_type::xpub) {
    openSocket_.bind(std::string(kOpenSocket));
    closedSocket_.bind(std::string(kClosedSocket));
    for (auto* socket : {&feedIn_, &feedOut_}) {
        socket->set(zmq::sockopt::linger, 0);
        socket->set(zmq::sockopt::sndhwm, kFeedHighWaterMark);
        socket->set(zmq::sockopt::rcvhwm, kFeedHighWaterMark);
    }
    feedIn_.bind(std::string(kFeedPublish));
    feedOut_.bind(std::string(kFeedSubscribe));
    // Without it no endpoint is ever listed open: after a failure it runs again.
    thread_.start({.name = "registry", .service = "Endpoint registry"},
                  [this](std::stop_token) { run(); });
}

SocketRegistry::~SocketRegistry() {
    thread_.stop();
}

bool SocketRegistry::isOpen(std::string_view endpoint) const {
    std::lock_guard lock(mutex_);
    const auto found = openEndpoints_.find(std::string(endpoint));
    return found != openEndpoints_.end() && found->second;
}

std::uint64_t SocketRegistry::appliedSequence(std::string_view endpoint) const {
    std::lock_guard lock(mutex_);
    const auto found = lastSequence_.find(std::string(endpoint));
    return found == lastSequence_.end() ? 0 : found->second;
}

void SocketRegistry::run() {
    ServiceLoop loop("Endpoint registry", thread_.stopSignal());
    // Open before closed: a pair sent without sequence numbers ends closed.
    loop.take(openSocket_, [this](zmq::socket_ref) { drain(openSocket_, true); });
    loop.take(closedSocket_, [this](zmq::socket_ref) { drain(closedSocket_, false); });
    // Published messages down to the subscribers, (un)subscriptions up to the publishers.
    loop.take(feedIn_, [this](zmq::socket_ref) { forward(feedIn_, feedOut_, false); });
    loop.take(feedOut_, [this](zmq::socket_ref) { forward(feedOut_, feedIn_, true); });
    loop.afterEachWake(platform::faultPoint);
    loop.run();
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

// Moves every waiting message, frame by frame, without blocking. XPUB drops for a subscriber
// whose queue is full instead of blocking, so a slow subscriber never holds up the registry.
// Subscriptions (upstream) also keep the table of wanted topics.
void SocketRegistry::forward(zmq::socket_t& from, zmq::socket_t& to, bool subscriptions) {
    zmq::message_t frame;
    while (from.recv(frame, zmq::recv_flags::dontwait)) {
        if (subscriptions) {
            noteSubscription(frame.to_string_view());
        }
        for (;;) {
            const bool more = frame.more();
            (void)to.send(frame, more ? zmq::send_flags::sndmore | zmq::send_flags::dontwait
                                      : zmq::send_flags::dontwait);
            if (!more || !from.recv(frame, zmq::recv_flags::dontwait)) {
                break;
            }
        }
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
