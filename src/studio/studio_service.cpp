// The studio service: follows the links and each bundle's status on the feed thread ("studio")
// for the FreeD sender and the OSC and VISCA receivers, which run threads of their own.
#include "studio/studio_service.hpp"

#include <spdlog/spdlog.h>

#include "bus/feed.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "config/configuration_client.hpp"

namespace kinetra::studio {
namespace {

constexpr std::string_view kStatusPrefix = "status/";

StudioSettings settingsFrom(const std::string& configurationEndpoint) {
    const auto server = config::requestConfigurationSection(configurationEndpoint, "server");
    if (!server) {
        spdlog::warn(
            "Studio: no answer from the configuration service; FreeD, OSC and VISCA are off.");
        return {};
    }
    return readStudioSettings(*server);
}

}  // namespace

StudioService::StudioService(const std::string& configurationEndpoint)
    : StudioService(settingsFrom(configurationEndpoint)) {}

StudioService::StudioService(StudioSettings settings)
    : settings_(std::move(settings)),
      links_(settings_.cameraIds),
      context_(bus::SocketRegistry::instance().context()),
      subscriber_(bus::makeFeedSubscriber(*context_)) {
    // Status messages come 20 times a second per link: take them only when FreeD, OSC, OSC
    // feedback or VISCA uses them, so an unused studio costs the status path nothing.
    if (!settings_.freedTargets.empty() || settings_.oscPort != 0 || settings_.oscFeedback ||
        !settings_.visca.ports.empty()) {
        subscriber_.set(zmq::sockopt::subscribe, kStatusPrefix);
    }
    subscriber_.set(zmq::sockopt::subscribe, bus::kLinksTopic);
    if (settings_.oscFeedback) {
        try {
            feedback_ = std::make_unique<OscFeedback>(*settings_.oscFeedback);
        } catch (const std::exception& error) {
            spdlog::warn("Studio: {0}", error.what());
            counters_.setError(error.what());
        }
    }
    if (!settings_.visca.ports.empty()) {
        try {
            visca_ = std::make_unique<ViscaReceiver>(
                settings_,
                [this](std::string_view linkId) {
                    std::lock_guard lock(mutex_);
                    return links_.view(linkId, std::chrono::steady_clock::now());
                },
                counters_);
        } catch (const std::exception& error) {
            const auto text = fmt::format("VISCA input on {0} could not start: {1}",
                                          settings_.visca.address, error.what());
            spdlog::error("{0}", text);
            counters_.setError(text);
        }
    }
    // The feed carries no state of its own worth keeping: after a failure it is followed again.
    feedThread_.start({.name = "studio", .service = "Studio feed"},
                      [this](std::stop_token) { follow(); });
    if (!settings_.freedTargets.empty()) {
        freed_ = std::make_unique<FreedSender>(
            settings_.freedTargets, settings_.freedRate,
            [this](SteadyTime now) { return liveCameras(now); }, counters_);
    }
    if (settings_.oscPort != 0) {
        OscReceiver::Links links{[this](std::string_view linkId) {
                                     std::lock_guard lock(mutex_);
                                     return links_.axes(linkId, std::chrono::steady_clock::now());
                                 },
                                 [this] {
                                     std::lock_guard lock(mutex_);
                                     return links_.paired();
                                 }};
        try {
            osc_ = std::make_unique<OscReceiver>(settings_, std::move(links), counters_);
        } catch (const std::exception& error) {
            const auto text = fmt::format("OSC input on {0}:{1} could not start: {2}",
                                          settings_.oscAddress, settings_.oscPort, error.what());
            spdlog::error("{0}", text);
            counters_.setError(text);
        }
    }
}

StudioService::~StudioService() {
    osc_.reset();
    freed_.reset();
    feedThread_.stop();
    visca_.reset();
    subscriber_.close();
}

std::vector<LiveLink> StudioService::liveCameras(SteadyTime now) const {
    std::lock_guard lock(mutex_);
    return links_.live(now);
}

// Sleeps until the feed has a message or the stop signal is set.
void StudioService::follow() {
    bus::ServiceLoop loop("Studio feed", feedThread_.stopSignal());
    loop.take(subscriber_, [this](zmq::socket_ref socket) {
        while (auto message = bus::tryReceiveFeed(socket)) {
            take(message->topic, message->body);
        }
    });
    loop.afterEachWake(platform::faultPoint);
    loop.run();
}

void StudioService::take(const std::string& topic, const std::string& body) {
    const json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (topic == bus::kLinksTopic) {
        std::lock_guard lock(mutex_);
        links_.applyLinks(parsed);
        return;
    }
    if (!topic.starts_with(kStatusPrefix) || !parsed.is_object()) {
        return;
    }
    const std::string linkId = topic.substr(kStatusPrefix.size());
    {
        std::lock_guard lock(mutex_);
        links_.applyStatus(linkId, parsed, now);
    }
    if (feedback_) {
        feedback_->onStatus(linkId, parsed, now);
    }
    if (visca_) {
        visca_->statusArrived();
    }
}

json StudioService::viscaStatus() const {
    json ports = json::object();
    for (const auto& [linkId, port] : settings_.visca.ports) {
        ports[linkId] = port;
    }
    const auto& c = counters_.visca;
    return {{"address", settings_.visca.address},
            {"ports", ports},
            {"panTiltUnitDegrees", settings_.visca.panTiltUnitDegrees},
            {"driveTimeout", settings_.visca.driveTimeout.count() / 1000.0},
            {"running", visca_ != nullptr},
            {"datagrams", c.datagrams.load()},
            {"untrusted", c.untrusted.load()},
            {"refused", c.refused.load()},
            {"errors", c.errors.load()},
            {"commandsSent", c.commandsSent.load()}};
}

json StudioService::status() const {
    json targets = json::array();
    for (const auto& target : settings_.freedTargets) {
        targets.push_back(target.text());
    }
    json cameraIds;
    {
        std::lock_guard lock(mutex_);
        cameraIds = links_.cameraIds();
    }
    return {
        {"freed",
         {{"targets", targets},
          {"rate", settings_.freedRate},
          {"cameraIds", cameraIds},
          {"running", freed_ != nullptr && !freed_->failed()},
          {"packetsSent", counters_.packetsSent.load()},
          {"lateness", counters_.latenessSummary()}}},
        {"osc",
         {{"address", settings_.oscAddress},
          {"port", settings_.oscPort},
          {"running", osc_ != nullptr},
          {"feedback", settings_.oscFeedback ? json(settings_.oscFeedback->text()) : json()},
          {"messagesReceived", counters_.messagesReceived.load()},
          {"messagesDropped", counters_.messagesDropped.load()},
          {"commandsSent", counters_.commandsSent.load()}}},
        {"visca", viscaStatus()},
        {"lastError", counters_.lastError()},
    };
}

}  // namespace kinetra::studio
