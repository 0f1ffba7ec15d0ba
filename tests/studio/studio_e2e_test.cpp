// The studio outputs end to end: the real server with an emulated adapter sends FreeD packets
// to a UDP listener of the test and takes OSC messages sent with liblo. All traffic stays on
// loopback.
#include <lo/lo.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "e2e/post_json.hpp"
#include "e2e/running_server.hpp"
#include "studio/freed_packet.hpp"

namespace kinetra {
namespace {

using testing::postJson;
using Clock = std::chrono::steady_clock;

/// Asks again, as a polling client would, until `accept` takes the answer or `timeout` passes;
/// the last answer either way.
json postUntil(std::uint16_t port, const std::string& path, const json& body,
               const std::function<bool(const json&)>& accept,
               std::chrono::milliseconds timeout = 15s) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        json answer = postJson(port, path, body);
        if (accept(answer) || Clock::now() >= deadline) {
            return answer;
        }
        std::this_thread::sleep_for(50ms);
    }
}

bool hasStatus(const json& reply) {
    return reply.is_object() && reply.contains("data") && reply["data"].is_object();
}

/// A UDP socket on a free loopback port that collects datagrams.
class UdpListener {
public:
    UdpListener() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("no UDP port");
        }
        port_ = ntohs(address.sin_port);
    }
    ~UdpListener() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

    /// The next datagram within `timeout`, with its arrival time.
    std::optional<std::pair<std::string, Clock::time_point>> next(
        std::chrono::milliseconds timeout) {
        pollfd item{fd_, POLLIN, 0};
        if (::poll(&item, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        char buffer[2048];
        const auto size = ::recv(fd_, buffer, sizeof buffer, 0);
        if (size < 0) {
            return std::nullopt;
        }
        return std::pair{std::string(buffer, static_cast<std::size_t>(size)), Clock::now()};
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

// A UDP port the system just handed out and released.
std::uint16_t freeUdpPort() {
    return UdpListener().port();
}

std::int32_t signed24At(const std::string& packet, std::size_t offset) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(packet[offset + i]); };
    std::int32_t value = (byte(0) << 16) | (byte(1) << 8) | byte(2);
    return value >= 0x800000 ? value - 0x1000000 : value;
}

void sendOsc(std::uint16_t port, const char* path, const char* types, float a = 0, float b = 0,
             float c = 0) {
    lo_address target = lo_address_new("127.0.0.1", std::to_string(port).c_str());
    const int sent =
        types[0] == '\0' ? lo_send(target, path, "") : lo_send(target, path, types, a, b, c);
    lo_address_free(target);
    ASSERT_GT(sent, 0) << path;
}

std::string oscSection(std::uint16_t port, const char* trusted = nullptr) {
    std::string text = "[osc]\naddress=127.0.0.1\nport=" + std::to_string(port) + "\n";
    if (trusted != nullptr) {
        text += std::string("[security]\ntrustedNetworks=") + trusted + "\n";
    }
    return text;
}

// The float of an OSC feedback message to `address` ("<address>\0..." ",f\0\0" value), if it
// is one.
std::optional<float> feedbackFloat(const std::string& datagram, const std::string& address) {
    const auto padded = (address.size() / 4 + 1) * 4;
    if (datagram.size() != padded + 8 ||
        datagram.compare(0, address.size() + 1, address.c_str(), address.size() + 1) != 0 ||
        datagram.compare(padded, 2, ",f") != 0) {
        return std::nullopt;
    }
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bits = (bits << 8) | static_cast<std::uint8_t>(datagram[padded + 4 + i]);
    }
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

TEST(StudioEndToEnd, FreedPacketsAndOscFeedbackFollowARealTimeMove) {
    UdpListener listener;
    UdpListener feedback;
    RunningServer server({"--simulate"},
                         "[freed]\ntargets=127.0.0.1:" + std::to_string(listener.port()) +
                             "\nrate=50\n" +
                             "[osc]\nfeedback=127.0.0.1:" + std::to_string(feedback.port()) + "\n");
    ASSERT_TRUE(server.listening()) << server.process->output();
    // No packets while nothing is paired.
    EXPECT_FALSE(listener.next(300ms));
    postUntil(server.httpPort, "/v1/link/KSIM0001", {{"command", "link1PairingConnect"}},
              [](const json& r) {
                  return r == json{{"result", "ok"}};
              });
    ASSERT_TRUE(hasStatus(
        postUntil(server.httpPort, "/v1/bundle/KSIM0001/status", json::object(), hasStatus)));

    ASSERT_TRUE(listener.next(2s)) << server.process->output();
    const auto start = Clock::now();
    int count = 0;
    while (Clock::now() - start < 2s) {
        const auto packet = listener.next(500ms);
        ASSERT_TRUE(packet);
        ASSERT_EQ(packet->first.size(), studio::freed::kPacketSize);
        studio::FreedPacket bytes;
        std::copy(packet->first.begin(), packet->first.end(), bytes.begin());
        EXPECT_EQ(bytes[0], 0xD1);
        EXPECT_EQ(bytes[1], 1) << "the first paired link is camera 1";
        EXPECT_EQ(bytes[28], studio::freedChecksum(bytes));
        ++count;
    }
    EXPECT_NEAR(count, 100, 10) << "50 packets a second for 2 s";

    EXPECT_EQ(postJson(server.httpPort, "/v1/bundle/KSIM0001",
                       {{"command", "realTimeMoveFixedDuration"},
                        {"duration", 0.5},
                        {"headPan", 20},
                        {"headTilt", -5},
                        {"slide", 0.25}}),
              (json{{"result", "ok"}}));
    bool arrived = false;
    const auto deadline = Clock::now() + 5s;
    while (!arrived && Clock::now() < deadline) {
        const auto packet = listener.next(500ms);
        ASSERT_TRUE(packet);
        arrived = signed24At(packet->first, studio::freed::kPanOffset) == 20 * 32768 &&
                  signed24At(packet->first, studio::freed::kTiltOffset) == -5 * 32768 &&
                  signed24At(packet->first, studio::freed::kXOffset) == 250 * 64;
    }
    EXPECT_TRUE(arrived) << "pan 20, tilt -5 and X 250 mm after the move";
    // Feedback goes out while values change, at most 10 a second: the newest pan is the target.
    std::optional<float> pan;
    const auto feedbackDeadline = Clock::now() + 5s;
    while (pan != 20.0F && Clock::now() < feedbackDeadline) {
        if (const auto datagram = feedback.next(500ms)) {
            if (const auto value = feedbackFloat(datagram->first, "/kinetra/KSIM0001/pan")) {
                pan = value;
            }
        }
    }
    EXPECT_EQ(pan, 20.0F) << "OSC feedback of the head's pan";
    const json status = postJson(server.httpPort, "/v1/device", {{"command", "studioStatus"}});
    EXPECT_GT(status["data"]["freed"]["packetsSent"].get<int>(), 100) << status;
    EXPECT_EQ(status["data"]["freed"]["cameraIds"], (json{{"KSIM0001", 1}})) << status;
}

// kinetra-sim logs every device message it takes, so the test sees what reached the line.
class OscEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.listening()) << server_.process->output();
        adapter_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{KINETRA_SIM_PATH, "--link-id", kLink, "--server",
                                     "http://127.0.0.1:" + std::to_string(server_.httpPort)},
            server_.tree.bin().string());
        postUntil(server_.httpPort, std::string("/v1/link/") + kLink,
                  {{"command", "link1PairingConnect"}}, [](const json& r) {
                      return r == json{{"result", "ok"}};
                  });
        ASSERT_TRUE(
            hasStatus(postUntil(server_.httpPort, std::string("/v1/bundle/") + kLink + "/status",
                                json::object(), hasStatus)))
            << adapter_->output() << server_.process->output();
        // The bundle acts on commands a moment after the link lists it as paired: a status
        // request is repeated until one reaches the line.
        const auto requestsSeen = [this] {
            std::size_t count = 0;
            for (auto at = adapter_->output().find(kStatusRequest); at != std::string::npos;
                 at = adapter_->output().find(kStatusRequest, at + 1)) {
                ++count;
            }
            return count;
        };
        ASSERT_TRUE(adapter_->waitForOutput(kStatusRequest, 5s));  // the pairing's own
        const auto before = requestsSeen();
        const auto deadline = Clock::now() + 10s;
        while (requestsSeen() == before && Clock::now() < deadline) {
            postJson(server_.httpPort, std::string("/v1/bundle/") + kLink, {{"command", "status"}});
            adapter_->waitForOutput("not logged", 100ms);  // reads what came meanwhile
        }
        ASSERT_GT(requestsSeen(), before) << adapter_->output();
    }

    static constexpr const char* kLink = "KSIMOSC00001";
    static constexpr const char* kStatusRequest = "device message E6 over";
    const std::uint16_t port_ = freeUdpPort();
    RunningServer server_{{}, oscSection(port_)};
    std::unique_ptr<ChildProcess> adapter_;
};

TEST_F(OscEndToEnd, AbortReachesTheLineAndAStickNotRefreshedIsLetGo) {
    const std::string bundle = std::string("/kinetra/") + kLink;
    sendOsc(port_, (bundle + "/abort").c_str(), "");
    EXPECT_TRUE(adapter_->waitForOutput("device message 09 over", 5s)) << adapter_->output();

    // The studio maps a stick onto the axes it has read from the bundle's status; until that
    // status has reached it the stick does nothing, so it is sent again (as a fader would).
    auto sent = Clock::now();
    bool jogged = false;
    for (const auto deadline = sent + 5s; !jogged && Clock::now() < deadline;) {
        sent = Clock::now();
        sendOsc(port_, (bundle + "/joystick").c_str(), "fff", 0.5F, 0, 0);
        jogged = adapter_->waitForOutput("device message 0A over", 300ms);
    }
    if (!jogged) {
        server_.process->waitForOutput("not logged", 100ms);  // reads the log so far
    }
    ASSERT_TRUE(jogged) << adapter_->output() << server_.process->output();
    // The head's stick at pan 0, tilt 0: the server's own release.
    ASSERT_TRUE(adapter_->waitForOutput("06 0A 00 00 00 00 00 10", 5s)) << adapter_->output();
    const auto released = Clock::now() - sent;
    EXPECT_GE(released, 450ms);
    EXPECT_LE(released, 1500ms);
}

TEST(OscUntrusted, DatagramsFromOutsideTheTrustedNetworksDoNothing) {
    const std::uint16_t port = freeUdpPort();
    RunningServer server({"--simulate"}, oscSection(port, "10.0.0.0/8"));
    ASSERT_TRUE(server.listening()) << server.process->output();
    ASSERT_TRUE(server.process->waitForOutput("OSC input on 127.0.0.1", 5s));
    for (int i = 0; i < 3; ++i) {
        sendOsc(port, "/kinetra/KSIM0001/abort", "");
    }
    const json status =
        postUntil(server.httpPort, "/v1/device", {{"command", "studioStatus"}}, [](const json& s) {
            return s.contains("data") && s["data"]["osc"]["messagesReceived"] == 3;
        });
    EXPECT_EQ(status["data"]["osc"]["messagesDropped"], 3) << status;
    EXPECT_EQ(status["data"]["osc"]["commandsSent"], 0) << status;
    EXPECT_TRUE(server.process->waitForOutput("dropped a datagram from untrusted 127.0.0.1", 2s));
}

}  // namespace
}  // namespace kinetra
