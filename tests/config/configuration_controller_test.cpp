#include "config/configuration_controller.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_client.hpp"
#include "config/defaults.hpp"
#include "support/recording_notifications.hpp"

namespace kinetra::config {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ConfigurationService : public ::testing::Test {
protected:
    ConfigurationService()
        : directory_(fs::temp_directory_path() / ("kinetra-config-" + std::to_string(::getpid()))) {
        fs::create_directories(directory_);
    }
    ~ConfigurationService() override { fs::remove_all(directory_); }

    void writeIni(const std::string& text) {
        std::ofstream(directory_ / "config.ini", std::ios::binary) << text;
    }
    std::string directoryText() const { return directory_.string() + "/"; }

    static std::string ask(std::string_view request) {
        auto context = bus::SocketRegistry::instance().context();
        zmq::socket_t socket(*context, zmq::socket_type::req);
        socket.set(zmq::sockopt::linger, 0);
        socket.connect(std::string(bus::kConfigurationEndpoint));
        socket.send(zmq::buffer(request));
        auto reply = bus::receiveWithin(socket, 2s);
        return reply ? reply->to_string() : "<no reply>";
    }

    testing::ScopedRecordingBackend notifications_;
    fs::path directory_;
};

// The serial section always comes from the built-in default; every request gets one reply.
TEST_F(ConfigurationService, AnswersEachRequestFromTheFileOrWithItsError) {
    writeIni(
        "[HttpServer]\nAddress=127.0.0.1\nPort=9000 ; remark\n[serialConnection]\nbaudrate=9600\n");
    ConfigurationController controller(directoryText());
    EXPECT_EQ(notifications_->texts(), std::vector<std::string>{"Welcome kinetra SDK"});
    const std::pair<const char*, std::string> cases[] = {
        {R"({"command":"server","x":1})",
         R"({"httpserver":{"address":"127.0.0.1","port":"9000 ; remark"},)"
         R"("serialconnection":{"baudrate":"9600"}})"},
        {R"({"command":"serialConnection"})", core::dumpCompact(fullDefault()["serialConnection"])},
        {"not json", R"({"result":"invalid json"})"},
        {R"({"command":5})", R"({"result":"missing command"})"},
        {R"([1,2])", R"({"result":"missing command"})"},
        {R"({"command":"Server"})", R"({"result":"unknown section"})"},
    };
    for (const auto& [request, reply] : cases) {
        EXPECT_EQ(ask(request), reply) << request;
    }
}

TEST_F(ConfigurationService, ClientGetsTheSectionAndGivesUpOnSilence) {
    // Asking right after the service went away races with the bus tearing its socket down;
    // neither the send nor the receive may then wait past the bound.
    for (int round = 0; round < 10; ++round) {
        {
            ConfigurationController controller(directoryText());
            const auto server = requestConfigurationSection(bus::kConfigurationEndpoint, "server");
            ASSERT_TRUE(server.has_value());
            EXPECT_EQ((*server)["httpserver"]["port"], "32222");
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(requestConfigurationSection(bus::kConfigurationEndpoint, "server", 50ms));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
}

}  // namespace
}  // namespace kinetra::config
