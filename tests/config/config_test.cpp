// config.ini as read (every line rule), the server and security settings taken from it, and the
// configuration service answering for it on the bus.
#include "config/configuration_controller.hpp"
#include "settings/ini_reader.hpp"
#include "settings/security_settings.hpp"
#include "settings/server_settings.hpp"

#include <chrono>

#include <gtest/gtest.h>

#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_client.hpp"
#include "settings/defaults.hpp"
#include "support/recording_notifications.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra::config {
namespace {

TEST(IniReader, FollowsEveryLineRule) {
    const struct {
        const char* rule;
        std::string text;
        const char* expected;  // JSON text
    } cases[] = {
        {"the server section's shape",
         "[httpserver]\naddress=127.0.0.1\nport=8080\n[websocket]\naddress = ::1\nport = 8082",
         R"({"httpserver":{"address":"127.0.0.1","port":"8080"},
             "websocket":{"address":"::1","port":"8082"}})"},
        {"sections and keys lower-cased, values kept", "[HttpServer]\nAddress=LocalHost\nPORT=80",
         R"({"httpserver":{"address":"LocalHost","port":"80"}})"},
        {"only section lines lose their remarks", "[server] ; main one\nkey = value ; not a remark",
         R"({"server":{"key":"value ; not a remark"}})"},
        {"a ']' inside the remark makes no header; the rest is a key line",
         "[real]\n[fake ; ]\n[a=b ; c]", R"({"real":{"[a":"b"}})"},
        {"the name runs to the last ']' and is trimmed", "[ a]b ]\nk=v", R"({"a]b":{"k":"v"}})"},
        {"comments, lines without '=' and lines before any section are ignored",
         "orphan=1\n; comment=2\n  ;indented=3\n[s]\n;x=y\nk=v\nnoequals", R"({"s":{"k":"v"}})"},
        {"escaped '=' belongs to the key", "[s]\na\\=b = c=d\n\\=x=1",
         R"({"s":{"a=b":"c=d","=x":"1"}})"},
        {"a line with only escaped '=' is no key line", "[s]\nonly\\=escaped", R"({"s":null})"},
        {"CR and NUL vanish anywhere", std::string("[s]\r\nke\0y=va\rlue\r\n", 19),
         R"({"s":{"key":"value"}})"},
        {"every kind of blank is trimmed", "\t[ s ]\v\n \f key \t=\t value \f",
         R"({"s":{"key":"value"}})"},
        {"repeated sections continue, repeated keys overwrite", "[a]\nx=1\n[b]\ny=2\n[A]\nx=3\nz=4",
         R"({"a":{"x":"3","z":"4"},"b":{"y":"2"}})"},
        {"a section without keys is null", "[empty]\n[full]\nk=v",
         R"({"empty":null,"full":{"k":"v"}})"},
        {"no section header at all gives null", "key=value\n; only a comment", "null"},
        {"an empty file gives null", "", "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseIni(c.text), json::parse(c.expected)) << c.rule;
    }
    // Values that are no UTF-8 are kept as bytes.
    EXPECT_EQ(parseIni("[s]\nk=\xFF\xFE")["s"]["k"].get<std::string>(), "\xFF\xFE");
}

std::vector<std::string> values(const ServerSettings& s) {
    return {s.httpAddress, s.httpPort,         s.webAddress,
            s.webPort,     s.webSocketAddress, s.webSocketPort};
}

TEST(ServerSettings, ReadsEachValueOrFallsBackForItAloneAndTakesOnlyDecimalPorts) {
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
    EXPECT_EQ(portNumber("0"), 0);
    EXPECT_EQ(portNumber("65535"), 65535);
    for (const char* wrong : {"65536", "", "-1", " 80", "0x50"}) {
        EXPECT_FALSE(portNumber(wrong)) << wrong;
    }
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

using namespace std::chrono_literals;

// The serial section always comes from the built-in default; every request gets one reply. The
// client gets the section, and gives up on silence: asking right after the service went away
// races with the bus tearing its socket down; neither the send nor the receive may then wait
// past the bound.
TEST(ConfigurationService, AnswersEachRequestAndTheClientGivesUpOnSilence) {
    const auto ask = [](std::string_view request) {
        auto socket = bus::makeRequestSocket(*bus::SocketRegistry::instance().context(),
                                             std::string(bus::kConfigurationEndpoint));
        socket.send(zmq::buffer(request));
        const auto reply = bus::receiveWithin(socket, 2s);
        return reply ? reply->to_string() : "<no reply>";
    };
    const testing::ScopedRecordingBackend notifications;
    const testing::TemporaryTree tree;
    const std::string directory = tree.root().string() + "/";
    tree.write(
        "config.ini",
        "[HttpServer]\nAddress=127.0.0.1\nPort=9000 ; remark\n[serialConnection]\nbaudrate=9600\n");
    {
        ConfigurationController controller(directory);
        EXPECT_EQ(notifications->texts(), std::vector<std::string>{"Welcome kinetra SDK"});
        const std::pair<const char*, std::string> cases[] = {
            {R"({"command":"server","x":1})",
             R"({"httpserver":{"address":"127.0.0.1","port":"9000 ; remark"},)"
             R"("serialconnection":{"baudrate":"9600"}})"},
            {R"({"command":"serialConnection"})",
             core::dumpCompact(fullDefault()["serialConnection"])},
            {"not json", R"({"result":"invalid json"})"},
            {R"({"command":5})", R"({"result":"missing command"})"},
            {R"([1,2])", R"({"result":"missing command"})"},
            {R"({"command":"Server"})", R"({"result":"unknown section"})"},
        };
        for (const auto& [request, reply] : cases) {
            EXPECT_EQ(ask(request), reply) << request;
        }
    }
    for (int round = 0; round < 10; ++round) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(requestConfigurationSection(bus::kConfigurationEndpoint, "server", 50ms));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        ConfigurationController controller(directory);
        const auto server = requestConfigurationSection(bus::kConfigurationEndpoint, "server");
        ASSERT_TRUE(server.has_value());
        EXPECT_EQ((*server)["httpserver"]["port"], "9000 ; remark");
    }
}

}  // namespace
}  // namespace kinetra::config
