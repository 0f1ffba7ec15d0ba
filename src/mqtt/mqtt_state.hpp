// The MQTT client's state as studioStatus and the Studio panel show it: off, connecting,
// connected to the URL or retrying with the last error, and a few counters. Written by the MQTT
// service's thread, read by the device service's thread. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/json.hpp"

namespace kinetra::mqtt {

enum class Connection { off, connecting, connected, retrying };

class MqttState {
public:
    /// The broker URL and topic prefix shown (empty while off).
    void configure(std::string url, std::string topicPrefix);
    /// Sets the connection state; a non-empty `error` becomes the last error (kept until the
    /// next one; a connection does not clear it, so the panel still says what went wrong).
    void set(Connection connection, std::string error = {});
    Connection connection() const;

    std::atomic<std::uint64_t> published{0};  // messages handed to the broker
    std::atomic<std::uint64_t> commands{0};   // command messages taken
    std::atomic<std::uint64_t> dropped{0};    // outgoing messages dropped (newest wins, bounds)

    /// {"state": "off|connecting|connected|retrying", "url", "topicPrefix", "lastError",
    /// "published", "commands", "dropped"}.
    json toJson() const;

private:
    mutable std::mutex mutex_;  // guards url_, prefix_, connection_, lastError_
    std::string url_;
    std::string prefix_;
    Connection connection_ = Connection::off;
    std::string lastError_;
};

}  // namespace kinetra::mqtt
