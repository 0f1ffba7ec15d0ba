#include "config/server_settings.hpp"
#include "config/ini_reader.hpp"
#include "config/security_settings.hpp"

#include <gtest/gtest.h>

#include "config/defaults.hpp"

namespace kinetra::config {
namespace {

std::vector<std::string> values(const ServerSettings& s) {
    return {s.httpAddress, s.httpPort,         s.webAddress,
            s.webPort,     s.webSocketAddress, s.webSocketPort};
}

TEST(ServerSettings, ReadsEachValueOrFallsBackForItAlone) {
    EXPECT_EQ(values(readServerSettings(json::parse(R"({
        "httpserver": {"address": "127.0.0.1", "port": "1"},
        "webserver": {"address": "127.0.0.2", "port": "2"},
        "websocket": {"address": "127.0.0.3", "port": "3"}})"))),
              (std::vector<std::string>{"127.0.0.1", "1", "127.0.0.2", "2", "127.0.0.3", "3"}));
    EXPECT_EQ(
        values(readServerSettings(json::parse(R"({
        "httpserver": {"address": "10.0.0.1", "port": "80x"},
        "webserver": null,
        "websocket": {"address": 5, "port": "65536"}})"))),
        (std::vector<std::string>{"10.0.0.1", "32222", "0.0.0.0", "32223", "0.0.0.0", "32224"}));
    EXPECT_EQ(values(readServerSettings(json())), values(ServerSettings{}));
}

TEST(SecuritySettings, ReadsTheListsAndFallsBackPerValue) {
    // As config.ini delivers it: lower-case keys, every value text.
    const auto read = readSecuritySettings(
        parseIni("[Security]\nallowedHosts = kinetra.lan, ,studio \napiKey =  k3y \n"
                 "trustedNetworks =\nmaxConnections = many\n"));
    EXPECT_EQ(read.allowedHosts, (std::vector<std::string>{"kinetra.lan", "studio"}));
    EXPECT_TRUE(read.allowedOrigins.empty());
    EXPECT_EQ(read.apiKey, "k3y");
    EXPECT_TRUE(read.trustedNetworks.empty());  // written empty: nobody is trusted
    EXPECT_EQ(read.maxConnections, 512U);       // unusable: the default

    // The built-in section and no section at all mean the same.
    const auto defaults = readSecuritySettings(fullDefault()["server"]);
    const SecuritySettings none = readSecuritySettings(json());
    for (const auto* settings : {&defaults, &none}) {
        EXPECT_TRUE(settings->allowedHosts.empty() && settings->allowedOrigins.empty());
        EXPECT_EQ(settings->apiKey, "");
        EXPECT_EQ(settings->trustedNetworks, (std::vector<std::string>{"127.0.0.0/8", "::1/128"}));
        EXPECT_EQ(settings->maxConnections, 512U);
    }
}

TEST(PortNumber, AcceptsOnlyDecimalPorts) {
    EXPECT_EQ(portNumber("0"), 0);
    EXPECT_EQ(portNumber("65535"), 65535);
    for (const char* wrong : {"65536", "", "-1", " 80", "0x50"}) {
        EXPECT_FALSE(portNumber(wrong)) << wrong;
    }
}

}  // namespace
}  // namespace kinetra::config
