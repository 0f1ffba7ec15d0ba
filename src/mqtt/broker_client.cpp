// The libmosquitto client, without a thread of its own. Its callbacks run inside the calls the
// owner makes (publish, service, stop); they copy what they are given into events for the sink.
#include "mqtt/broker_client.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>

namespace kinetra::mqtt {
namespace {

constexpr std::chrono::milliseconds kFirstRetry{1000};
constexpr std::chrono::milliseconds kLongestRetry{30000};
// stop(): how long one look at the socket waits for the broker's acknowledgement.
constexpr int kStopLoopMs = 50;
constexpr int kRequestQos = 1;

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });  // cleaned up by the process's end
}

void check(int rc, const char* what) {
    if (rc != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error(fmt::format("{0}: {1}", what, mosquitto_strerror(rc)));
    }
}

// Properties libmosquitto gives or takes, freed with the list.
struct Properties {
    mosquitto_property* list = nullptr;
    Properties() = default;
    Properties(const Properties&) = delete;
    Properties& operator=(const Properties&) = delete;
    ~Properties() { mosquitto_property_free_all(&list); }
};

std::optional<std::string> readString(const mosquitto_property* props, int identifier) {
    char* value = nullptr;
    if (mosquitto_property_read_string(props, identifier, &value, false) == nullptr) {
        return std::nullopt;
    }
    std::string text(value);
    std::free(value);
    return text;
}

std::optional<std::string> readBinary(const mosquitto_property* props, int identifier) {
    void* value = nullptr;
    std::uint16_t size = 0;
    if (mosquitto_property_read_binary(props, identifier, &value, &size, false) == nullptr) {
        return std::nullopt;
    }
    std::string bytes(static_cast<const char*>(value), size);
    std::free(value);
    return bytes;
}

// Waits at most `timeoutMs` for the client's socket to be readable (or writable, when something
// waits to go); false without a socket. mosquitto_loop's own wait would return at once: the
// library also watches a wake-up pipe that nothing here drains.
bool awaitSocket(struct mosquitto* client, int timeoutMs) {
    const int fd = mosquitto_socket(client);
    if (fd == -1) {
        return false;
    }
    pollfd item{fd, static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0};
    (void)::poll(&item, 1, timeoutMs);
    return true;
}

}  // namespace

BrokerClient::BrokerClient(const Options& options, Sink sink, OnDelivered onDelivered)
    : sink_(std::move(sink)),
      onDelivered_(std::move(onDelivered)),
      options_(options),
      delay_(kFirstRetry) {
    initialiseLibrary();
    // Clean start: the broker keeps no session, so a reconnect replays no old command.
    client_ = mosquitto_new(options_.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        throw std::runtime_error("libmosquitto could not make a client");
    }
    try {
        check(mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "MQTT 5");
        // One thread at a time: the library writes what is handed over at once, instead of
        // waking a loop thread for it.
        check(mosquitto_threaded_set(client_, false), "threads");
        // Status goes out as it comes, many small messages a second: Nagle's algorithm would
        // hold each behind the broker's delayed acknowledgement of the one before (40 ms).
        check(mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY");
        if (!options_.username.empty() || options_.password) {
            check(mosquitto_username_pw_set(
                      client_, options_.username.empty() ? nullptr : options_.username.c_str(),
                      options_.password ? options_.password->c_str() : nullptr),
                  "user name and password");
        }
        if (options_.broker.tls && !options_.caFile.empty()) {
            // The broker's certificate must chain to this CA and name the host of the URL.
            check(mosquitto_tls_set(client_, options_.caFile.c_str(), nullptr, nullptr, nullptr,
                                    nullptr),
                  fmt::format("CA file {0}", options_.caFile).c_str());
        } else if (options_.broker.tls) {
            check(mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1),
                  "the system's certificates");
        }
        const auto& will = options_.will;
        check(mosquitto_will_set_v5(client_, will.topic.c_str(),
                                    static_cast<int>(will.payload.size()), will.payload.data(),
                                    will.qos, will.retain, nullptr),
              "the will");
    } catch (...) {
        mosquitto_destroy(client_);
        throw;
    }

    mosquitto_connect_v5_callback_set(
        client_, [](struct mosquitto*, void* self, int rc, int, const mosquitto_property*) {
            auto& client = *static_cast<BrokerClient*>(self);
            if (rc == 0 && client.phase_ == Phase::connecting) {
                client.phase_ = Phase::connected;
                mosquitto_log_callback_set(client.client_, nullptr);
                client.sink_(Connected{});
            } else {
                // The connection ends next with a plainer reason; this one is the telling one.
                client.noteDetail(fmt::format("the broker refused the connection: {0}",
                                              mosquitto_reason_string(rc)));
            }
        });
    mosquitto_publish_v5_callback_set(
        client_, [](struct mosquitto*, void* self, int mid, int, const mosquitto_property*) {
            auto& client = *static_cast<BrokerClient*>(self);
            if (client.lastMid_ == mid) {
                client.lastDelivered_ = true;
            }
            client.onDelivered_();
        });
    mosquitto_message_v5_callback_set(
        client_, [](struct mosquitto*, void* self, const mosquitto_message* message,
                    const mosquitto_property* props) {
            BrokerMessage taken;
            taken.topic = message->topic;
            taken.payload.assign(static_cast<const char*>(message->payload),
                                 static_cast<std::size_t>(message->payloadlen));
            taken.retained = message->retain;
            taken.responseTopic = readString(props, MQTT_PROP_RESPONSE_TOPIC);
            taken.correlation = readBinary(props, MQTT_PROP_CORRELATION_DATA);
            std::uint32_t expiry = 0;
            if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry,
                                              false) != nullptr) {
                taken.expiresAt = std::chrono::steady_clock::now() + std::chrono::seconds(expiry);
            }
            static_cast<BrokerClient*>(self)->sink_(std::move(taken));
        });
}

// A certificate that does not verify is only told in the library's log. Listened to while an
// attempt is under way only: with a listener the library formats a line for every packet.
void BrokerClient::noteLogged(struct mosquitto*, void* self, int level, const char* text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0) {
        static_cast<BrokerClient*>(self)->noteDetail(text);
    }
}

BrokerClient::~BrokerClient() {
    stop();
    mosquitto_destroy(client_);
}

void BrokerClient::noteDetail(std::string text) {
    if (detail_.empty()) {
        detail_ = std::move(text);  // the first error is the cause; what follows, its echo
    }
}

void BrokerClient::start(Time now) {
    if (phase_ == Phase::idle) {
        attempt(now);
    }
}

int BrokerClient::socket() const {
    return phase_ == Phase::connecting || phase_ == Phase::connected ? mosquitto_socket(client_)
                                                                     : -1;
}

bool BrokerClient::wantsWrite() const {
    return socket() != -1 && mosquitto_want_write(client_);
}

void BrokerClient::attempt(Time now) {
    detail_.clear();
    mosquitto_log_callback_set(client_, noteLogged);
    // Until one attempt got under way, libmosquitto may not know the broker's address yet.
    const int rc = underWay_ ? mosquitto_reconnect_async(client_)
                             : mosquitto_connect_bind_async(
                                   client_, options_.broker.host.c_str(), options_.broker.port,
                                   static_cast<int>(options_.keepAlive.count()), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        phase_ = Phase::connecting;
        ended(mosquitto_strerror(rc), now);
        return;
    }
    underWay_ = true;
    phase_ = Phase::connecting;
    attemptedAt_ = now;
}

// One attempt or connection ended: the next one 1 s after a connection that was accepted,
// doubling to 30 s while attempts fail.
void BrokerClient::ended(std::string reason, Time now) {
    if (phase_ == Phase::connected) {
        delay_ = kFirstRetry;
    }
    phase_ = Phase::waiting;
    retryAt_ = now + delay_;
    delay_ = std::min(delay_ * 2, kLongestRetry);
    if (!detail_.empty()) {
        reason = std::exchange(detail_, {});
    }
    sink_(ConnectionLost{std::move(reason)});
}

void BrokerClient::service(Time now) {
    if (phase_ == Phase::waiting && now >= retryAt_) {
        attempt(now);
        return;
    }
    if (phase_ != Phase::connecting && phase_ != Phase::connected) {
        return;
    }
    // A look at the socket without waiting: reads what came, writes what waits (a TLS handshake
    // included) and sends the keep-alive when due.
    const int rc = mosquitto_loop(client_, 0, 1);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) == -1) {
        ended(rc != MOSQ_ERR_SUCCESS ? mosquitto_strerror(rc) : "the connection was closed", now);
        return;
    }
    if (phase_ == Phase::connecting && now - attemptedAt_ > kConnectTimeout) {
        mosquitto_disconnect(client_);
        ended(fmt::format("no answer from the broker within {0} s", kConnectTimeout.count()), now);
    }
}

std::optional<BrokerClient::Time> BrokerClient::nextWake(Time now) const {
    switch (phase_) {
        case Phase::waiting:
            return retryAt_;
        case Phase::connecting:
        case Phase::connected:
            return now + kTick;
        default:
            return std::nullopt;
    }
}

bool BrokerClient::publish(const Publication& publication) {
    if (phase_ != Phase::connected) {
        return false;
    }
    Properties props;
    if (publication.correlation) {
        mosquitto_property_add_binary(&props.list, MQTT_PROP_CORRELATION_DATA,
                                      publication.correlation->data(),
                                      static_cast<std::uint16_t>(publication.correlation->size()));
    }
    return mosquitto_publish_v5(client_, nullptr, publication.topic.c_str(),
                                static_cast<int>(publication.payload.size()),
                                publication.payload.data(), publication.qos, publication.retain,
                                props.list) == MOSQ_ERR_SUCCESS;
}

bool BrokerClient::subscribe(const std::vector<std::string>& filters) {
    bool all = true;
    for (const auto& filter : filters) {
        all = mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), kRequestQos,
                                     MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER,
                                     nullptr) == MOSQ_ERR_SUCCESS &&
              all;
    }
    return all;
}

void BrokerClient::stop(std::optional<Publication> last, std::chrono::milliseconds bound) {
    const auto phase = std::exchange(phase_, Phase::stopped);
    if (phase != Phase::connecting && phase != Phase::connected) {
        return;
    }
    if (last && phase == Phase::connected) {
        int mid = 0;
        if (mosquitto_publish_v5(client_, &mid, last->topic.c_str(),
                                 static_cast<int>(last->payload.size()), last->payload.data(), 1,
                                 last->retain, nullptr) == MOSQ_ERR_SUCCESS) {
            lastMid_ = mid;
            const auto deadline = std::chrono::steady_clock::now() + bound;
            while (!lastDelivered_ && std::chrono::steady_clock::now() < deadline &&
                   awaitSocket(client_, kStopLoopMs) &&
                   mosquitto_loop(client_, 0, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
    }
    mosquitto_disconnect_v5(client_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    // The DISCONNECT is written at once unless the socket is full; an attempt still under way
    // is simply dropped.
    for (int i = 0; phase == Phase::connected && i < 10 && mosquitto_want_write(client_) &&
                    awaitSocket(client_, 100) && mosquitto_loop(client_, 0, 1) == MOSQ_ERR_SUCCESS;
         ++i) {
    }
}

}  // namespace kinetra::mqtt
