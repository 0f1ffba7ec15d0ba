// kinetra on an MQTT broker: the server's links and each bundle's status published under a topic
// prefix, and (when allowed) commands taken from it, answered the MQTT 5 way. Two threads: the
// route's bus thread ("reactor"), whose request completions only queue, and "mqtt", which owns
// all the state below and sleeps in one poll over the feed (taken straight from the publishers),
// the broker connection's socket and its wake-up, so neither the broker nor the bus ever waits
// on the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <zmq.hpp>

#include "core/json.hpp"
#include "core/log_limiter.hpp"
#include "mqtt/broker_client.hpp"
#include "mqtt/bus_route.hpp"
#include "mqtt/jog_watch.hpp"
#include "mqtt/mqtt_settings.hpp"
#include "mqtt/mqtt_state.hpp"
#include "mqtt/outbox.hpp"
#include "mqtt/topics.hpp"
#include "platform/service_thread.hpp"
#include "platform/wake_signal.hpp"

namespace kinetra::mqtt {

class MqttService {
public:
    /// Messages handed to the broker client and not yet sent, at most: beyond, they wait in the
    /// outbox, where status and state keep only their newest.
    static constexpr int kMaxInFlight = 32;

    /// Reads [mqtt] from the configuration service at `configurationEndpoint` and starts.
    explicit MqttService(const std::string& configurationEndpoint);
    /// Off: nothing runs. Refused: logs why at error level and nothing runs. Settings: starts
    /// the client; a password file that cannot be read or a client the library refuses is
    /// logged and leaves MQTT off, the rest of the server running.
    explicit MqttService(MqttConfig config);
    /// Publishes online = false, disconnects and joins every thread.
    ~MqttService();
    MqttService(const MqttService&) = delete;
    MqttService& operator=(const MqttService&) = delete;

    /// The "mqtt" member of studioStatus. Thread-safe.
    json status() const { return state_.toJson(); }

private:
    struct ReplyTo {
        std::string topic;
        std::optional<std::string> correlation;
    };
    struct Answered {  // a bus request ended
        ReplyTo replyTo;
        std::string endpoint;
        RouteOutcome outcome;
        std::string reply;
    };
    struct LinksSnapshot {  // the device service's answer to linkStatus
        RouteOutcome outcome;
        std::string reply;
    };
    using Event = std::variant<Answered, LinksSnapshot>;
    using Time = std::chrono::steady_clock::time_point;

    struct Link {
        std::string statusTopic;  // <prefix>/<linkID>/status
        bool paired = false;
        std::string shape;                             // of the discovery documents published
        std::map<std::string, std::string> documents;  // discovery: config topic -> document
        std::optional<Time> shapeCheckedAt;
    };

    bool begin(const MqttSettings& settings);
    void post(Event event);
    void run();
    void handle(Event& event, Time now);
    void handleBroker(Time now);
    void onBroker(BrokerEvent& event, Time now);
    void onConnected(Time now);
    void onLost(const std::string& reason, Time now);
    void onMessage(BrokerMessage& message, Time now);
    void onAnswered(Answered& answered, Time now);
    void askLinks();
    void takeFeed(const std::string& topic, std::string& body, Time now);
    void onLinks(const std::string& body);
    void onStatus(const std::string& linkId, const std::string& body, Time now);
    void dropLink(const std::string& linkId);
    void publishDocuments(Link& link, std::map<std::string, std::string> documents);
    void reply(const ReplyTo& to, std::string text);
    void releaseSticks(const std::vector<JogWatch::Release>& sticks, const char* why);
    void flush(Time now);
    std::optional<Time> nextWake(Time now) const;
    std::optional<Time> feedHeldUntil(Time now) const;
    void warn(const std::string& kind, const std::string& text, Time now);

    MqttState state_;
    std::optional<MqttSettings> settings_;  // set when the client runs
    std::optional<Topics> topics_;

    mutable std::mutex mutex_;  // guards inbox_, stopping_
    std::vector<Event> inbox_;
    bool stopping_ = false;
    platform::WakeSignal wake_;

    // "mqtt" thread only, once it runs (and the thread that stops the service, after it).
    std::vector<BrokerEvent> brokerEvents_;  // what the client reported, not yet handled
    int inFlight_ = 0;                       // handed to the client, not yet sent
    Outbox outbox_;
    JogWatch sticks_;
    std::map<std::string, Link> links_;  // the valid links, by id
    std::string linksBody_;              // the latest list, re-published on every connect
    bool linksFromFeed_ = false;         // the feed brought a list: newer than any snapshot
    std::optional<Time> askLinksAt_;     // when to ask the device service for the list again
    std::optional<zmq::socket_t> feed_;  // the direct SUB to the feed, made by the thread
    bool connected_ = false;
    Time feedTakenAt_{};         // when the feed was last emptied
    bool feedHoldPays_ = false;  // status comes faster than it may go: holding the feed saves
    int feedHoldsInVain_ = 0;    // holds in a row at whose end nothing had come
    std::uint64_t lastDropped_ = 0;
    core::LogLimiter logLimiter_{std::chrono::seconds(5)};  // a flood logs a line per kind each 5 s

    std::unique_ptr<BusRoute> route_;
    std::unique_ptr<BrokerClient> client_;
    platform::ServiceThread thread_;  // last: joined first
};

}  // namespace kinetra::mqtt
