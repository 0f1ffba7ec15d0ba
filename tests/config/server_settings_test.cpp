#include "config/server_settings.hpp"
#include "config/ini_reader.hpp"
#include "config/security_settings.hpp"

#include <gtest/gtest.h>

#include "config/defaults.hpp"

namespace kinetra::config {
namespace {

TEST(ServerSettings, ReadsAllSixValues) {
    const auto settings = readServerSettings(json::parse(R"({
        "httpserver": {"address": "127.0.0.1", "port": "1"},
        "webserver": {"address": "127.0.0.2", "port": "2"},
        "websocket": {"address": "127.0.0.3", "port": "3"}})"));
    EXPECT_EQ(settings.httpAddress, "127.0.0.1");
    EXPECT_EQ(settings.httpPort, "1");
    EXPECT_EQ(settings.webAddress, "127.0.0.2");
    EXPECT_EQ(settings.webPort, "2");
    EXPECT_EQ(settings.webSocketAddress, "127.0.0.3");
    EXPECT_EQ(settings.webSocketPort, "3");
}

TEST(ServerSettings, EachMissingOrUnusableValueFallsBackOnItsOwn) {
    const auto settings = readServerSettings(json::parse(R"({
        "httpserver": {"address": "10.0.0.1", "port": "80x"},
        "webserver": null,
        "websocket": {"address": 5, "port": "65536"}})"));
    EXPECT_EQ(settings.httpAddress, "10.0.0.1");
    EXPECT_EQ(settings.httpPort, "32222");
    EXPECT_EQ(settings.webAddress, "0.0.0.0");
    EXPECT_EQ(settings.webPort, "32223");
    EXPECT_EQ(settings.webSocketAddress, "0.0.0.0");
    EXPECT_EQ(settings.webSocketPort, "32224");
}

TEST(ServerSettings, NullSectionGivesTheDefaults) {
    const auto settings = readServerSettings(json());
    EXPECT_EQ(settings.httpPort, "32222");
    const auto fromDefaults = readServerSettings(fullDefault()["server"]);
    EXPECT_EQ(fromDefaults.webSocketPort, "32224");
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
    EXPECT_EQ(portNumber("32222"), 32222);
    EXPECT_EQ(portNumber("0"), 0);
    EXPECT_EQ(portNumber("65535"), 65535);
    EXPECT_FALSE(portNumber("65536"));
    EXPECT_FALSE(portNumber(""));
    EXPECT_FALSE(portNumber("-1"));
    EXPECT_FALSE(portNumber(" 80"));
    EXPECT_FALSE(portNumber("0x50"));
}

}  // namespace
}  // namespace kinetra::config
