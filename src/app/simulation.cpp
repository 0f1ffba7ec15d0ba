#include "app/simulation.hpp"

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "core/json.hpp"
#include "sim/options.hpp"
#include "sim/registration.hpp"

namespace kinetra::app {
namespace {

constexpr std::chrono::milliseconds kServiceTimeout{5000};

}  // namespace

std::unique_ptr<sim::EmulatedLink> startEmulator(std::string_view devices) {
    sim::LinkConfig config;
    if (!devices.empty()) {
        std::string error;
        auto list = sim::parseDeviceList(devices, error);
        if (!list) {
            spdlog::warn("No emulated link adapter: {0}", error);
            return nullptr;
        }
        config.devices = std::move(*list);
    }
    try {
        auto emulator = std::make_unique<sim::EmulatedLink>(config);
        spdlog::info("Emulated link adapter {0} on {1}.", emulator->config().linkID,
                     emulator->path());
        return emulator;
    } catch (const std::exception& error) {
        spdlog::warn("No emulated link adapter: {0}", error.what());
        return nullptr;
    }
}

bool announceEmulator(const sim::EmulatedLink& emulator) {
    const auto context = bus::SocketRegistry::instance().context();
    auto socket = bus::makeRequestSocket(*context, std::string(bus::kDeviceEndpoint));
    const auto request = sim::deviceFoundRequest(emulator.config(), emulator.path());
    if (!bus::trySend(socket, core::dumpCompact(request)) ||
        !bus::receiveWithin(socket, kServiceTimeout)) {
        spdlog::warn("The device service did not take the emulated link adapter.");
        return false;
    }
    return true;
}

}  // namespace kinetra::app
