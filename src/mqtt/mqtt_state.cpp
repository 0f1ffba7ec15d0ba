#include "mqtt/mqtt_state.hpp"

#include "core/enum_table.hpp"

namespace kinetra::mqtt {
namespace {

constexpr core::EnumTable<Connection, 4> kConnections{{{
    {Connection::off, "off"},
    {Connection::connecting, "connecting"},
    {Connection::connected, "connected"},
    {Connection::retrying, "retrying"},
}}};

}  // namespace

void MqttState::configure(std::string url, std::string topicPrefix) {
    std::lock_guard lock(mutex_);
    url_ = std::move(url);
    prefix_ = std::move(topicPrefix);
}

void MqttState::set(Connection connection, std::string error) {
    std::lock_guard lock(mutex_);
    connection_ = connection;
    if (!error.empty()) {
        lastError_ = std::move(error);
    }
}

Connection MqttState::connection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

json MqttState::toJson() const {
    std::lock_guard lock(mutex_);
    return {{"state", kConnections.nameOf(connection_)},
            {"url", url_},
            {"topicPrefix", prefix_},
            {"lastError", lastError_},
            {"published", published.load(std::memory_order_relaxed)},
            {"commands", commands.load(std::memory_order_relaxed)},
            {"dropped", dropped.load(std::memory_order_relaxed)}};
}

}  // namespace kinetra::mqtt
