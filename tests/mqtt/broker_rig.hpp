// The MQTT tests' rig: Debian's mosquitto started on a free loopback port with a configuration
// written here (optionally with a password file, or TLS from a CA made with openssl at run
// time), and an MQTT 5 client of the test's own on libmosquitto that records what it receives.
#pragma once

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "e2e/running_server.hpp"
#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra::mqtt::test {

using kinetra::testing::ChildProcess;

/// Runs `argv` to its end; true when it exits 0 within 20 s.
inline bool runTool(std::vector<std::string> argv, const std::string& directory) {
    ChildProcess tool(std::move(argv), directory);
    return tool.waitForExit(std::chrono::seconds(20)) == std::optional<int>(0);
}

class Broker {
public:
    enum class Access { anonymous, password, tls };

    explicit Broker(Access access) : access_(access) {
        // Run as root, mosquitto would become the "mosquitto" user, which cannot read this tree.
        std::string config = ::geteuid() == 0 ? "user root\n" : "";
        config += "listener " + std::to_string(port_) + " 127.0.0.1\n";
        // Retained messages outlive a restart, even a killed broker's (saved within a second).
        config +=
            "persistence true\nautosave_on_changes true\nautosave_interval 1\n"
            "persistence_location " +
            tree_.root().string() + "/\n";
        const std::string dir = tree_.root().string();
        if (access == Access::password) {
            tree_.write("passwd", "");
            runTool({"/usr/bin/mosquitto_passwd", "-b", dir + "/passwd", "rig", "s3cret"}, dir);
            config += "allow_anonymous false\npassword_file " + dir + "/passwd\n";
        } else {
            config += "allow_anonymous true\n";
        }
        if (access == Access::tls) {
            makeAuthority("ca");
            makeAuthority("other");  // a CA that signed nothing here
            tree_.write("san.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
            runTool({"/usr/bin/openssl", "req", "-newkey", "ec", "-pkeyopt",
                     "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "server.key", "-out",
                     "server.csr", "-subj", "/CN=localhost"},
                    dir);
            runTool({"/usr/bin/openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt",
                     "-CAkey", "ca.key", "-CAcreateserial", "-days", "1", "-extfile", "san.ext",
                     "-out", "server.crt"},
                    dir);
            config += "cafile " + dir + "/ca.crt\ncertfile " + dir + "/server.crt\nkeyfile " + dir +
                      "/server.key\n";
        }
        tree_.write("mosquitto.conf", config);
        if (!start()) {
            throw std::runtime_error("mosquitto did not start: " + process_->output());
        }
    }

    /// Starts the broker (again) on the same port; true once it listens.
    bool start() {
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c",
                                     (tree_.root() / "mosquitto.conf").string()},
            tree_.root().string());
        return process_->waitForOutput(" running", std::chrono::seconds(10));
    }
    /// Ends it at once, as a crash would.
    void kill() {
        process_->signal(SIGKILL);
        process_->waitForExit(std::chrono::seconds(5));
    }

    std::uint16_t port() const { return port_; }
    std::string url() const {
        return (access_ == Access::tls ? "mqtts://localhost:" : "mqtt://127.0.0.1:") +
               std::to_string(port_);
    }
    std::string file(const std::string& name) const { return (tree_.root() / name).string(); }
    /// Writes `text` to `name` beside the broker's files; its path.
    std::string write(const std::string& name, const std::string& text) const {
        tree_.write(name, text);
        return file(name);
    }

private:
    void makeAuthority(const std::string& name) {
        runTool({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key", "-out",
                 name + ".crt", "-days", "1", "-subj", "/CN=kinetra test " + name},
                tree_.root().string());
    }

    Access access_;
    kinetra::testing::TemporaryTree tree_;
    std::uint16_t port_ = freePort();
    std::unique_ptr<ChildProcess> process_;
};

/// One message as the probe received it.
struct Received {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::optional<std::string> correlation;
};

/// The test's MQTT 5 client: connects at once (and again after a broker restart, subscribing
/// anew), records every message. Callbacks run on libmosquitto's thread.
class Probe {
public:
    explicit Probe(std::uint16_t port, std::vector<std::string> filters)
        : filters_(std::move(filters)) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_v5_callback_set(
            client_, [](struct mosquitto* m, void* self, int rc, int, const mosquitto_property*) {
                for (const auto& filter : static_cast<Probe*>(self)->filters_) {
                    if (rc == 0) {
                        mosquitto_subscribe_v5(m, nullptr, filter.c_str(), 1, 0, nullptr);
                    }
                }
            });
        mosquitto_message_v5_callback_set(
            client_, [](struct mosquitto*, void* self, const mosquitto_message* message,
                        const mosquitto_property* props) {
                Received taken{message->topic,
                               std::string(static_cast<const char*>(message->payload),
                                           static_cast<std::size_t>(message->payloadlen)),
                               message->retain, std::nullopt};
                void* data = nullptr;
                std::uint16_t size = 0;
                if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &size,
                                                   false) != nullptr) {
                    taken.correlation = std::string(static_cast<char*>(data), size);
                    free(data);
                }
                auto& probe = *static_cast<Probe*>(self);
                std::lock_guard lock(probe.mutex_);
                probe.received_.push_back(std::move(taken));
                probe.changed_.notify_all();
            });
        mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, nullptr);
        mosquitto_loop_start(client_);
    }
    ~Probe() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    /// Publishes a request; a response topic and correlation data when given.
    void publish(const std::string& topic, const std::string& payload,
                 const std::string& responseTopic = "", const std::string& correlation = "",
                 bool retain = false) {
        mosquitto_property* props = nullptr;
        if (!responseTopic.empty()) {
            mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
        }
        if (!correlation.empty()) {
            mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                          static_cast<std::uint16_t>(correlation.size()));
        }
        mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain, props);
        mosquitto_property_free_all(&props);
    }

    /// The first message from index `from` on whose topic is `topic` and that `accept` takes,
    /// waiting at most `timeout`.
    std::optional<Received> next(const std::string& topic,
                                 const std::function<bool(const Received&)>& accept = {},
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                 std::size_t from = 0) {
        std::unique_lock lock(mutex_);
        std::optional<Received> found;
        changed_.wait_for(lock, timeout, [&] {
            for (std::size_t i = from; i < received_.size(); ++i) {
                if (received_[i].topic == topic && (!accept || accept(received_[i]))) {
                    found = received_[i];
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return received_.size();
    }

private:
    std::vector<std::string> filters_;
    struct mosquitto* client_ = nullptr;
    std::mutex mutex_;  // guards received_
    std::condition_variable changed_;
    std::vector<Received> received_;
};

/// The [mqtt] section of a server on `broker`.
inline std::string mqttSection(const Broker& broker, const std::string& prefix,
                               const std::string& more = "") {
    std::string clientId = prefix;
    std::replace(clientId.begin(), clientId.end(), '/', '-');
    return "[mqtt]\nurl=" + broker.url() + "\ntopicPrefix=" + prefix + "\nclientId=" + clientId +
           "\n" + more;
}

}  // namespace kinetra::mqtt::test
