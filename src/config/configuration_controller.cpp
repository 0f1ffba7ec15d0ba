#include "config/configuration_controller.hpp"

#include <fstream>
#include <iterator>

#include <spdlog/spdlog.h>

#include "bus/envelope.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "notify/notification_handler.hpp"
#include "settings/defaults.hpp"
#include "settings/ini_reader.hpp"

namespace kinetra::config {
namespace {

void insertIfAbsent(Sections& sections, const json& defaults) {
    for (const auto& [name, value] : defaults.items()) {
        sections.try_emplace(name, value);
    }
}

}  // namespace

ConfigurationController::ConfigurationController(std::string directory, std::string endpoint)
    : endpoint_(std::move(endpoint)), filePath_(std::move(directory) + "config.ini") {
    notify::notify("Welcome kinetra SDK");
    if (loadFile()) {
        spdlog::info("Configuration files read and parse into json object.");
    } else {
        spdlog::error("Configuration files could not load so loading default configuration.");
        insertIfAbsent(sections_, fullDefault());
        spdlog::info("Configuratuon loaded from default configurations.");
    }
    // The serial section always comes from the built-in default.
    insertIfAbsent(sections_, serialDefault());

    context_ = bus::SocketRegistry::instance().context();
    socket_ = zmq::socket_t(*context_, zmq::socket_type::rep);
    // Deliberately not announced: the configuration is not reachable over HTTP.
    socket_.bind(endpoint_);
    // Every reader asks it once at start: after a failure it runs again.
    thread_.start({.name = "config", .service = "Configuration service"},
                  [this](std::stop_token) { serve(); });
}

ConfigurationController::~ConfigurationController() {
    thread_.stop();
}

bool ConfigurationController::loadFile() {
    std::ifstream file(filePath_, std::ios::binary);
    if (!file) {
        spdlog::info("Configuration file could not load or does not exist.");
        notify::notify(
            "Configuration file could be corrupt or does not exist, SDK is continuing with "
            "default configurations.");
        return false;
    }
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    sections_.insert_or_assign("server", parseIni(bytes));
    return true;
}

std::string ConfigurationController::replyTo(const Sections& sections, std::string_view request) {
    const auto parsed = bus::parseRequest(request);
    if (!parsed) {
        spdlog::warn("Configuration request is not JSON: {0}", request);
        return bus::resultText("invalid json");
    }
    const auto command = bus::commandOf(*parsed);
    if (!command) {
        spdlog::warn("Configuration request without a command: {0}", request);
        return bus::resultText("missing command");
    }
    const auto found = sections.find(*command);
    if (found == sections.end()) {
        spdlog::warn("Configuration request for unknown section: {0}", *command);
        return bus::resultText("unknown section");
    }
    return core::dumpCompact(found->second);
}

// Sleeps until a request or the stop signal arrives; each request is answered at once.
void ConfigurationController::serve() {
    bus::ServiceLoop loop("Configuration service", thread_.stopSignal());
    loop.answer(socket_, [this](std::string_view request) { return replyTo(sections_, request); });
    loop.afterEachWake(platform::faultPoint);
    loop.run();
}

}  // namespace kinetra::config
