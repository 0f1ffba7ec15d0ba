// One MQTT 5 connection through libmosquitto, driven by its owner's thread: the owner polls
// socket() together with its other sources and calls service() when it is ready or a deadline
// in nextWake() comes. Connects with clean start, the will and TLS, keeps the connection alive,
// and tries again 1 s after a loss, doubling to 30 s while attempts fail. No thread of its own:
// a status handed over is written to the socket at once, and nothing wakes a second thread.
#pragma once

#include <chrono>
#include <functional>
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
/// A connection attempt failed or the connection ended; the client tries again later.
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

/// Not thread-safe: one thread at a time (the owner's "mqtt" thread while it runs, then the
/// thread that stops it), as libmosquitto requires of a client without its own loop thread.
class BrokerClient {
public:
    using Time = std::chrono::steady_clock::time_point;
    struct Options {
        BrokerAddress broker;
        std::string clientId;
        std::string username;  // empty: none
        std::optional<std::string> password;
        std::string caFile;  // mqtts without it: the system's trusted certificates
        Publication will;    // published by the broker when the connection is lost
        std::chrono::seconds keepAlive{30};
    };
    /// Called from within start(), service() and stop() with what happened.
    using Sink = std::function<void(BrokerEvent event)>;
    /// Called from within publish(), service() and stop() each time a handed-over message has
    /// left (or, QoS 1, has been acknowledged).
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
    /// The longest the owner may leave the client alone while a connection exists: the
    /// keep-alive and the connect timeout are looked after this often.
    static constexpr std::chrono::milliseconds kTick{1000};

    /// The first attempt (a host name is resolved here).
    void start(Time now);
    /// The connection's socket to poll for reading, -1 while there is none.
    int socket() const;
    /// True when the socket should also be polled for writing (a message only partly sent, a
    /// connection under way).
    bool wantsWrite() const;
    /// Call when the socket is ready or nextWake() has come: reads what came, writes what waits,
    /// keeps the connection alive, ends an attempt that timed out and makes the next attempt
    /// when its time has come. Never waits.
    void service(Time now);
    /// When service() must run next at the latest; nothing before start().
    std::optional<Time> nextWake(Time now) const;

    /// Hands `publication` to the library, which writes it at once if the socket takes it; false
    /// when it refused it (no connection, say).
    bool publish(const Publication& publication);
    /// Subscribes to `filters` without local echo and without the retained messages the broker
    /// holds (a retained command is never taken).
    bool subscribe(const std::vector<std::string>& filters);

    /// When connected, publishes `last` (QoS 1) and waits at most `bound` for the broker to take
    /// it; then disconnects, asking the broker to publish the will too. Idempotent.
    void stop(std::optional<Publication> last = std::nullopt,
              std::chrono::milliseconds bound = std::chrono::milliseconds(1000));

private:
    void attempt(Time now);
    void ended(std::string reason, Time now);
    void noteDetail(std::string text);
    // The library's log, listened to while an attempt is under way.
    static void noteLogged(struct mosquitto* client, void* self, int level, const char* text);

    const Sink sink_;
    const OnDelivered onDelivered_;
    const Options options_;
    struct mosquitto* client_ = nullptr;

    enum class Phase { idle, connecting, connected, waiting, stopped };
    Phase phase_ = Phase::idle;
    bool underWay_ = false;  // an attempt got under way: libmosquitto knows the broker's address
    Time attemptedAt_{};     // connecting: when the attempt began
    Time retryAt_{};         // waiting: when the next attempt is made
    std::chrono::milliseconds delay_;
    std::string detail_;          // a refusal or library error of this attempt
    std::optional<int> lastMid_;  // stop(): the last word's message id
    bool lastDelivered_ = false;  // stop(): the broker took it
};

}  // namespace kinetra::mqtt
