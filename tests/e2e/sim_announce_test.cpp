// kinetra-sim announcing its link to a server that has only just started: the gateway listens
// before the device service is up and answers "offline" meanwhile, so the announcement must be
// repeated until the service itself takes it. A stand-in HTTP server plays that gateway.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra {
namespace {

using namespace std::chrono_literals;

/// Answers each POST's JSON body with {"result":"offline"} `offlineAnswers` times, then
/// {"result":"ok"}; keeps every body. One connection at a time, as the announcements come.
class StandInGateway {
public:
    explicit StandInGateway(int offlineAnswers) : offlineAnswers_(offlineAnswers) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInGateway() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

    std::uint16_t port() const { return port_; }
    std::vector<json> bodies() const {
        std::lock_guard lock(mutex_);
        return bodies_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) {
                continue;
            }
            const int connection = accept(listener_, nullptr, nullptr);
            if (connection >= 0) {
                answer(connection);
                close(connection);
            }
        }
    }

    void answer(int connection) {
        std::string request;
        char buffer[4096];
        for (;;) {
            const auto end = request.find("\r\n\r\n");
            if (end != std::string::npos) {
                const auto lengthAt = request.find("Content-Length: ");
                const auto length =
                    lengthAt == std::string::npos ? 0 : std::stoul(request.substr(lengthAt + 16));
                if (request.size() >= end + 4 + length) {
                    std::lock_guard lock(mutex_);
                    bodies_.push_back(json::parse(request.substr(end + 4, length), nullptr, false));
                    break;
                }
            }
            pollfd ready{connection, POLLIN, 0};
            if (poll(&ready, 1, 2000) != 1) {
                return;
            }
            const auto received = read(connection, buffer, sizeof buffer);
            if (received <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(received));
        }
        const std::string body =
            answered_++ < offlineAnswers_ ? R"({"result":"offline"})" : R"({"result":"ok"})";
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        [[maybe_unused]] const auto written = write(connection, response.data(), response.size());
    }

    int offlineAnswers_;
    int answered_ = 0;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<json> bodies_;
    std::thread thread_;
};

std::vector<std::string> commandsOf(const std::vector<json>& bodies) {
    std::vector<std::string> commands;
    for (const auto& body : bodies) {
        commands.push_back(body.is_object() ? body.value("command", "") : "?");
    }
    return commands;
}

TEST(SimulatorAnnouncement, IsRepeatedWhileTheDeviceServiceIsOfflineAndWithdrawnAtTheEnd) {
    StandInGateway gateway(2);
    testing::TemporaryTree tree;
    testing::ChildProcess simulator({KINETRA_SIM_PATH, "--link-id", "KSIMANN00001", "--server",
                                     "http://127.0.0.1:" + std::to_string(gateway.port())},
                                    tree.bin().string());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (gateway.bodies().size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    // Taken on the third try: no fourth announcement follows.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(commandsOf(gateway.bodies()),
              (std::vector<std::string>{"device_found", "device_found", "device_found"}));

    simulator.signal(SIGTERM);
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    const auto commands = commandsOf(gateway.bodies());
    ASSERT_EQ(commands.size(), 4U) << simulator.output();
    EXPECT_EQ(commands.back(), "device_disconnected");
}

TEST(SimulatorAnnouncement, ASignalEndsTheRetriesAtOnce) {
    StandInGateway gateway(1000);
    testing::TemporaryTree tree;
    testing::ChildProcess simulator({KINETRA_SIM_PATH, "--link-id", "KSIMANN00002", "--server",
                                     "http://127.0.0.1:" + std::to_string(gateway.port())},
                                    tree.bin().string());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (gateway.bodies().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    simulator.signal(SIGTERM);
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(simulator.waitForExit(10s), std::optional<int>(0)) << simulator.output();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    // Never taken, so never withdrawn.
    for (const auto& command : commandsOf(gateway.bodies())) {
        EXPECT_EQ(command, "device_found");
    }
}

}  // namespace
}  // namespace kinetra
