// openDoorWarning: which listeners reach beyond loopback, in one sentence. Pure.
#include "net/open_door.hpp"

#include <asio/ip/address.hpp>

namespace kinetra::net {

bool isLoopbackAddress(std::string_view address) {
    std::error_code error;
    const auto parsed = asio::ip::make_address(std::string(address), error);
    return !error && parsed.is_loopback();
}

std::string openDoorWarning(const std::vector<ListenAddress>& listeners, bool apiKeySet) {
    if (apiKeySet) {
        return {};
    }
    std::string open;
    for (const auto& [address, port] : listeners) {
        if (!isLoopbackAddress(address)) {
            open += (open.empty() ? "" : ", ") + address + ":" + std::to_string(port);
        }
    }
    if (open.empty()) {
        return {};
    }
    return "The API listens beyond this machine (" + open +
           ") without an API key: any program on the network can drive the gear. Set a key as "
           "apiKey in the [security] section of cfg/config.ini.";
}

}  // namespace kinetra::net
