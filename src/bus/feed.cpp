// Feed sockets and messages; used on whichever thread owns the socket.
#include "bus/feed.hpp"

#include <map>
#include <mutex>

namespace kinetra::bus {
namespace {

struct WantedTopics {
    std::mutex mutex;                                // guards counts
    std::map<std::string, int, std::less<>> counts;  // subscribed prefix -> subscriptions
};

// Never destroyed: the registry thread notes unsubscriptions while statics are torn down at exit.
WantedTopics& wantedTopics() {
    static auto* topics = new WantedTopics;
    return *topics;
}

}  // namespace

bool isWanted(std::string_view topic) {
    auto& wanted = wantedTopics();
    std::lock_guard lock(wanted.mutex);
    for (const auto& [prefix, count] : wanted.counts) {
        if (topic.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

void noteSubscription(std::string_view message) {
    if (message.empty() || (message[0] != 0 && message[0] != 1)) {
        return;
    }
    auto& wanted = wantedTopics();
    std::lock_guard lock(wanted.mutex);
    const std::string topic(message.substr(1));
    if (message[0] == 1) {
        ++wanted.counts[topic];
    } else if (auto found = wanted.counts.find(topic);
               found != wanted.counts.end() && --found->second <= 0) {
        wanted.counts.erase(found);
    }
}

zmq::socket_t makeFeedPublisher(zmq::context_t& context) {
    zmq::socket_t socket(context, zmq::socket_type::pub);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::sndhwm, kFeedHighWaterMark);
    socket.connect(std::string(kFeedPublish));
    // Waits (costing nothing) until the direct subscriber binds, if it ever does.
    socket.connect(std::string(kFeedDirect));
    return socket;
}

zmq::socket_t makeDirectFeedSubscriber(zmq::context_t& context) {
    zmq::socket_t socket(context, zmq::socket_type::sub);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::rcvhwm, kFeedHighWaterMark);
    socket.bind(std::string(kFeedDirect));
    return socket;
}

void subscribeDirect(zmq::socket_ref subscriber, std::string_view topic, bool on) {
    // The registry never sees these subscriptions: the table of wanted topics is told here.
    std::string message(1, on ? '\x01' : '\x00');
    message.append(topic);
    noteSubscription(message);
    if (on) {
        subscriber.set(zmq::sockopt::subscribe, topic);
    } else {
        subscriber.set(zmq::sockopt::unsubscribe, topic);
    }
}

zmq::socket_t makeFeedSubscriber(zmq::context_t& context) {
    zmq::socket_t socket(context, zmq::socket_type::sub);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::rcvhwm, kFeedHighWaterMark);
    socket.connect(std::string(kFeedSubscribe));
    return socket;
}

bool publish(zmq::socket_ref publisher, std::string_view topic, std::string_view body) {
    try {
        // A PUB never blocks: a full queue drops the message, and a message's frames go
        // together, so the first send decides for both.
        if (!publisher.send(zmq::buffer(topic),
                            zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
            return false;
        }
        return publisher.send(zmq::buffer(body), zmq::send_flags::dontwait).has_value();
    } catch (const zmq::error_t&) {
        return false;
    }
}

std::optional<FeedMessage> tryReceiveFeed(zmq::socket_ref subscriber) {
    zmq::message_t topic;
    if (!subscriber.recv(topic, zmq::recv_flags::dontwait)) {
        return std::nullopt;
    }
    if (!topic.more()) {
        return std::nullopt;
    }
    zmq::message_t body;
    // The rest of a message arrives with its first frame.
    (void)subscriber.recv(body, zmq::recv_flags::dontwait);
    bool wellFormed = !body.more();
    while (body.more() && subscriber.recv(body, zmq::recv_flags::dontwait)) {
    }
    if (!wellFormed) {
        return std::nullopt;
    }
    return FeedMessage{topic.to_string(), body.to_string()};
}

}  // namespace kinetra::bus
