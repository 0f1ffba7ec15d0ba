// localHostNames and hostName on Linux: gethostname and getifaddrs.
#include "platform/host_names.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

namespace kinetra::platform {

std::string hostName() {
    std::array<char, 256> host{};
    if (::gethostname(host.data(), host.size() - 1) != 0 || host[0] == '\0') {
        return "localhost";
    }
    return host.data();
}

std::vector<std::string> localHostNames() {
    std::vector<std::string> names{"localhost", "127.0.0.1", "::1"};
    std::array<char, 256> host{};
    if (::gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0') {
        std::string name(host.data());
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.push_back(name);
        if (name.find('.') == std::string::npos) {
            names.push_back(name + ".local");  // its multicast DNS name
        }
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr) {
                continue;
            }
            std::array<char, INET6_ADDRSTRLEN> text{};
            const int family = entry->ifa_addr->sa_family;
            const void* address = nullptr;
            if (family == AF_INET) {
                address = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
            } else if (family == AF_INET6) {
                address = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
            } else {
                continue;
            }
            if (::inet_ntop(family, address, text.data(), text.size()) != nullptr) {
                names.emplace_back(text.data());
            }
        }
        ::freeifaddrs(list);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

}  // namespace kinetra::platform
