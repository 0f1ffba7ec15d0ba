// Asking the configuration service for one section; runs on the asking thread.
#include "config/configuration_client.hpp"

#include "bus/service_loop.hpp"

namespace kinetra::config {

std::optional<json> requestConfigurationSection(std::string_view endpoint, std::string_view section,
                                                std::chrono::milliseconds timeout) {
    return bus::requestOnce(std::string(endpoint), core::dumpCompact(json{{"command", section}}),
                            timeout);
}

}  // namespace kinetra::config
