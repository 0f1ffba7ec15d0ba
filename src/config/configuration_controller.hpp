// The configuration service: loads config.ini once at start, completes it with the built-in
// defaults, and serves each section read-only on inproc://v1/configuration from its own thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "core/json.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::config {

/// The section table: exactly "server" and "serialConnection" once loading is done.
using Sections = std::map<std::string, json>;

class ConfigurationController {
public:
    /// Loads `directory` + "config.ini" (the entry point passes "../cfg/"), binds `endpoint`
    /// and starts the service thread. Bus errors escape: a failure here ends start-up.
    explicit ConfigurationController(
        std::string directory, std::string endpoint = std::string(bus::kConfigurationEndpoint));
    /// Stops and joins the service thread, then closes the socket.
    ~ConfigurationController();

    const Sections& sections() const { return sections_; }

    /// The reply text for one request: the named section's compact JSON, or an envelope whose
    /// "result" says what was wrong with the request.
    static std::string replyTo(const Sections& sections, std::string_view request);

private:
    bool loadFile();
    void serve();

    std::string endpoint_;
    std::string filePath_;
    Sections sections_;  // written during construction only, read by the service thread
    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t socket_;            // REP, used by the service thread
    platform::ServiceThread thread_;  // declared last: joined before the socket closes
};

}  // namespace kinetra::config
