// One MQTT 5 connection through libmosquitto, which runs it on its own network thread
// (mosquitto_loop_start) with clean start, the will, TLS and its reconnects (1 s doubling to
// 30 s). What happens on that thread reaches the owner only as events handed to a sink that must
// queue and return: the network thread never waits on anything of ours.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "mqtt/mqtt_settings.hpp"
#include "mqtt/outbox.hpp"

struct mosquitto;

namespace kinetra::mqtt {

/// The broker accepted the connection (a fresh session: nothing of an earlier one is replayed).
struct Connected {};
/// The connection attempt or the connection ended; libmosquitto tries again by itself.
struct ConnectionLost {
    std::string reason;
};
/// An error the library reports on its own (a certificate that does not verify, say).
struct LibraryError {
    std::string text;
};
/// A message on a subscribed topic, with the MQTT 5 properties a request may carry.
struct BrokerMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::optional<std::string> responseTopic;
    std::optional<std::string> correlation;
    /// Now plus the Message Expiry Interval, when the message has one.
    std::optional<std::chrono::steady_clock::time_point> expiresAt;
};
using BrokerEvent = std::variant<Connected, ConnectionLost, LibraryError, BrokerMessage>;

class BrokerClient {
public:
    struct Options {
        BrokerAddress broker;
        std::string clientId;
        std::string username;  // empty: none
        std::optional<std::string> password;
        std::string caFile;  // mqtts without it: the system's trusted certificates
        Publication will;    // published by the broker when the connection is lost
        std::chrono::seconds keepAlive{30};
    };
    /// Runs on the network thread: must queue and return.
    using Sink = std::function<void(BrokerEvent event)>;
    /// Runs on the network thread each time a handed-over message has left (or, QoS 1, has
    /// been acknowledged): must not block.
    using OnDelivered = std::function<void()>;

    /// Sets the client up (no connection yet). Throws std::runtime_error naming what the library
    /// refused (a CA file it cannot load, say).
    BrokerClient(const Options& options, Sink sink, OnDelivered onDelivered);
    /// stop() with nothing to say last.
    ~BrokerClient();
    BrokerClient(const BrokerClient&) = delete;
    BrokerClient& operator=(const BrokerClient&) = delete;

    /// Starts the network thread and the first connection attempt. When that attempt fails at
    /// once (refused on this machine, a name that does not resolve) it says why; call retry()
    /// later, as libmosquitto only takes over the retries once an attempt got under way.
    std::optional<std::string> start();
    /// Tries to connect again; why not, as for start().
    std::optional<std::string> retry();

    /// Hands `publication` to the library; false when it refused it (no connection, say).
    /// Any thread.
    bool publish(const Publication& publication);
    /// Subscribes to `filters` without local echo and without the retained messages the broker
    /// holds (a retained command is never taken). Any thread.
    bool subscribe(const std::vector<std::string>& filters);

    /// Publishes `last` (QoS 1), waits at most `bound` for the broker to take it, disconnects
    /// (asking the broker to publish the will too) and joins the network thread. Idempotent.
    void stop(std::optional<Publication> last = std::nullopt,
              std::chrono::milliseconds bound = std::chrono::milliseconds(1000));

private:
    void take(BrokerEvent event);

    const Sink sink_;
    const OnDelivered onDelivered_;
    const Options options_;
    struct mosquitto* client_ = nullptr;
    bool started_ = false;  // owner's thread only
    bool stopped_ = false;

    std::mutex mutex_;  // guards stopping_, delivered_
    std::condition_variable deliveredChanged_;
    bool stopping_ = false;
    std::vector<int> delivered_;  // message ids delivered while stopping
};

}  // namespace kinetra::mqtt
