// One MQTT 5 connection through libmosquitto, run on a network thread of its own ("mqtt-net")
// that connects with clean start, the will and TLS, keeps the connection (mosquitto_loop), and
// tries again 1 s after a loss, doubling to 30 s while attempts fail. What happens on that thread
// reaches the owner only as events handed to a sink that queues and returns: the network thread
// never waits on anything of the owner's, and the owner never waits on the broker.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "mqtt/mqtt_settings.hpp"
#include "mqtt/outbox.hpp"
#include "platform/stop_signal.hpp"

struct mosquitto;

namespace kinetra::mqtt {

/// The broker accepted the connection (a fresh session: nothing of an earlier one is replayed).
struct Connected {};
/// A connection attempt failed or the connection ended; the network thread tries again.
struct ConnectionLost {
    std::string reason;  // the most telling text: a refusal or TLS error before a generic one
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
using BrokerEvent = std::variant<Connected, ConnectionLost, BrokerMessage>;

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

    /// An attempt without the broker's answer within this long has failed (a TLS connection
    /// to a closed port is never reported otherwise).
    static constexpr std::chrono::seconds kConnectTimeout{10};

    /// Starts the network thread, which connects (a host name is resolved there).
    void start();

    /// Hands `publication` to the library; false when it refused it (no connection, say).
    /// Any thread.
    bool publish(const Publication& publication);
    /// Subscribes to `filters` without local echo and without the retained messages the broker
    /// holds (a retained command is never taken). Any thread.
    bool subscribe(const std::vector<std::string>& filters);

    /// When connected, publishes `last` (QoS 1) and waits at most `bound` for the broker to take
    /// it; then disconnects (asking the broker to publish the will too) and joins the network
    /// thread. Idempotent.
    void stop(std::optional<Publication> last = std::nullopt,
              std::chrono::milliseconds bound = std::chrono::milliseconds(1000));

private:
    void run();
    struct Attempt {
        std::string reason;     // why it ended
        bool began = false;     // libmosquitto took it (and so knows the broker's address)
        bool accepted = false;  // the broker accepted the connection
    };
    // One connection from attempt to end; `first` connects with the broker's address.
    Attempt connectOnce(bool first);
    void noteDetail(std::string text);

    const Sink sink_;
    const OnDelivered onDelivered_;
    const Options options_;
    struct mosquitto* client_ = nullptr;
    bool stopped_ = false;  // owner's thread only
    std::atomic<bool> connected_{false};

    std::mutex mutex_;  // guards stopping_, delivered_, detail_
    std::condition_variable deliveredChanged_;
    bool stopping_ = false;
    std::vector<int> delivered_;  // message ids delivered while stopping
    std::string detail_;          // a refusal or library error since the last attempt began

    platform::StopSignal stop_;
    std::jthread thread_;  // last: joined first
};

}  // namespace kinetra::mqtt
