// The warning for an API that listens beyond this machine without a key: any program on the
// network could then drive the gear. Logged by the gateway at start and shown by the web
// application as a banner, so both say the same. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kinetra::net {

/// A listening address as configured (IP text) with its port.
struct ListenAddress {
    std::string address;
    std::uint16_t port = 0;
};

/// True when `address` is an IP address in 127.0.0.0/8 or ::1; false for every other text,
/// the wildcard 0.0.0.0 among them.
bool isLoopbackAddress(std::string_view address);

/// Names the listeners that are not loopback and how to set a key; empty when `apiKeySet` or
/// when every listener is loopback.
std::string openDoorWarning(const std::vector<ListenAddress>& listeners, bool apiKeySet);

}  // namespace kinetra::net
