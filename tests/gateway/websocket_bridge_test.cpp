// The WebSocket bridge over real sockets and a real bus: forwarding, frames of every length
// form, the one-client-per-path rule, and the error frame when no reply comes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "gateway/server.hpp"
#include "gateway_test_support.hpp"
#include "net/test_client.hpp"

namespace kinetra::gateway {
namespace {

using namespace std::chrono_literals;
using test::FakeService;
using test::WsClient;

constexpr std::uint8_t kFinText = 0x81;
const std::string kNotProcessed = R"({"result":"request could not be processed"})";

class WebSocketGateway : public ::testing::Test {
protected:
    void SetUp() override {
        server.start(2);
        ASSERT_NE(server.webSocketPort(), 0);
    }
    std::uint16_t port() const { return server.webSocketPort(); }
    bool pathsBecome(const std::vector<std::string>& expected) {
        return test::waitUntil([&] { return server.webSocketPaths() == expected; });
    }

    test::LogCapture logs;
    Server server{config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"}};
};

FakeService::Answer echo() {
    return [](const std::string& request) { return std::optional("re:" + request); };
}

TEST_F(WebSocketGateway, ForwardsMessagesUnchangedAndKeepsTheConnectionOpen) {
    FakeService service("inproc://v1/test/ws", echo());
    WsClient client(port(), "/v1/test/ws");
    ASSERT_TRUE(client.upgraded());

    // Not parsed: neither non-JSON text nor spacing inside JSON is touched.
    for (const std::string message : {"not json at all", "{ \"a\" :  1 }", ""}) {
        client.sendText(message);
        const auto frame = client.nextFrame();
        ASSERT_TRUE(frame) << message;
        EXPECT_EQ(frame->firstByte, kFinText);
        EXPECT_EQ(frame->payload, "re:" + message);
    }
    EXPECT_EQ(service.requests(),
              (std::vector<std::string>{"not json at all", "{ \"a\" :  1 }", ""}));
}

TEST_F(WebSocketGateway, JoinsFragmentsAndCarriesLongMessagesBothWays) {
    const std::string longReply(70000, 'r');  // needs the 64-bit length form
    FakeService service("inproc://v1/test/frames", [&](const std::string& request) {
        return std::optional(request == "long please" ? longReply : "re:" + request);
    });
    WsClient client(port(), "/v1/test/frames");
    ASSERT_TRUE(client.upgraded());

    // A text message in three fragments, a ping between them.
    client.sendRaw(net::test::clientFrame(0x01, "frag") + net::test::clientFrame(0x00, "men") +
                   net::test::clientFrame(0x89, "p") + net::test::clientFrame(0x80, "ted"));
    auto frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->firstByte, 0x8A);  // the pong comes first
    frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, "re:fragmented");

    // A message in the 16-bit length form (under the receive limit) goes through whole.
    const std::string medium(5000, 'm');
    client.sendText(medium);
    frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, "re:" + medium);

    client.sendText("long please");
    frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->firstByte, kFinText);
    EXPECT_EQ(frame->payload, longReply);
}

TEST_F(WebSocketGateway, AnswersTooLargeForAMessageOverTheReceiveLimitAndCloses) {
    FakeService service("inproc://v1/test/big", echo());
    for (const std::size_t size : {std::size_t{9000}, std::size_t{70000}}) {  // 16- and 64-bit
        {
            WsClient client(port(), "/v1/test/big");
            ASSERT_TRUE(client.upgraded());
            client.sendText(std::string(size, 'x'));
            const auto frame = client.nextFrame();
            ASSERT_TRUE(frame) << size;
            EXPECT_EQ(frame->payload, R"({"result":"request too large"})");
            const auto close = client.nextFrame();
            ASSERT_TRUE(close) << size;
            EXPECT_EQ(close->firstByte, 0x88);
            EXPECT_EQ(close->payload, std::string("\x03\xf1", 2));  // 1009
            EXPECT_TRUE(client.waitClosed());
        }
        ASSERT_TRUE(pathsBecome({}));  // once the client has gone, the next one may bind
    }
    EXPECT_TRUE(service.requests().empty());
}

TEST_F(WebSocketGateway, RefusesASecondClientOnABoundPathAndAcceptsOneAfterTheFirstLeaves) {
    FakeService service("inproc://v1/test/owner", echo());
    WsClient first(port(), "/v1/test/owner");
    ASSERT_TRUE(first.upgraded());
    first.sendText("one");
    ASSERT_TRUE(first.nextFrame());

    WsClient second(port(), "/v1/test/owner");
    EXPECT_TRUE(second.waitClosed());

    // The refusal did not unbind the first client's path.
    EXPECT_EQ(server.webSocketPaths(), std::vector<std::string>{"/v1/test/owner"});
    first.sendText("two");
    const auto frame = first.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, "re:two");

    EXPECT_TRUE(first.close());
    ASSERT_TRUE(pathsBecome({}));
    WsClient third(port(), "/v1/test/owner");
    ASSERT_TRUE(third.upgraded());
    third.sendText("three");
    const auto reply = third.nextFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, "re:three");
    EXPECT_EQ(service.requests(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(WebSocketGateway, SendsTheErrorFrameThenClosesWhenNoReplyComes) {
    FakeService silent("inproc://v1/test/silent",
                       [](const std::string&) { return std::optional<std::string>(); });
    WsClient client(port(), "/v1/test/silent");
    ASSERT_TRUE(client.upgraded());

    const auto started = std::chrono::steady_clock::now();
    client.sendText(R"({"command":"status"})");
    const auto frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 950ms);
    EXPECT_EQ(frame->firstByte, kFinText);
    EXPECT_EQ(frame->payload, kNotProcessed);
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(logs.has("warning", "Could not get response from zmq socket.")) << logs.all();
    EXPECT_TRUE(pathsBecome({}));
}

TEST_F(WebSocketGateway, AnswersOfflineUntilThePathsServiceIsAnnounced) {
    WsClient client(port(), "/v1/test/later");
    ASSERT_TRUE(client.upgraded());
    client.sendText("early");
    auto frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, R"({"result":"offline"})");
    EXPECT_TRUE(logs.has("warning", "inproc://v1/test/later is offline.")) << logs.all();

    // The client stays; once the service is there, the same connection reaches it.
    FakeService service("inproc://v1/test/later", echo());
    client.sendText("now");
    frame = client.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, "re:now");
    EXPECT_EQ(service.requests(), std::vector<std::string>{"now"});
}

TEST_F(WebSocketGateway, DoesNotReachEndpointsThatAreNotAnnounced) {
    // Internal endpoints: a REP like the configuration service, and a PULL like a bundle's
    // status channel, which a REQ could otherwise feed as if it were the device.
    FakeService hidden(
        "inproc://v1/test/internal", [](const std::string&) { return std::string("{}"); }, false);
    auto context = bus::SocketRegistry::instance().context();
    zmq::socket_t pull(*context, zmq::socket_type::pull);
    pull.bind("inproc://v1/test/channel");

    for (const std::string path : {"/v1/test/internal", "/v1/test/channel"}) {
        WsClient client(port(), path);
        ASSERT_TRUE(client.upgraded());
        client.sendText(std::string(79, '\x55'));
        const auto frame = client.nextFrame();
        ASSERT_TRUE(frame) << path;
        EXPECT_EQ(frame->payload, R"({"result":"offline"})") << path;
    }
    EXPECT_TRUE(hidden.requests().empty());
    EXPECT_FALSE(bus::receiveWithin(pull, 200ms));
}

TEST_F(WebSocketGateway, GivesUpWithinItsBoundWhenTheServiceHasGone) {
    // The service's socket is gone while the registry still lists it (it died, or its closed
    // announcement is on the way): the bound client's request cannot even be queued, and the
    // worker must not block on it for ever.
    FakeService service("inproc://v1/test/gone", echo());
    WsClient client(port(), "/v1/test/gone");
    ASSERT_TRUE(client.upgraded());
    client.sendText("before");
    ASSERT_TRUE(client.nextFrame());
    service.stop(false);
    client.sendText("after");
    const auto frame = client.nextFrame(4s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, kNotProcessed);
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(logs.has("warning", "Could not get response from zmq socket.")) << logs.all();

    // The workers are free again.
    FakeService other("inproc://v1/test/other", echo());
    WsClient bystander(port(), "/v1/test/other");
    bystander.sendText("ok?");
    const auto reply = bystander.nextFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, "re:ok?");
}

TEST_F(WebSocketGateway, KeepsThePathTableConsistentUnderConcurrentClients) {
    // Clients on a few shared paths connect, talk and leave from several threads at once, so
    // connected, message and closed handlers race on both workers.
    FakeService a("inproc://v1/test/race/a", echo());
    FakeService b("inproc://v1/test/race/b", echo());
    FakeService c("inproc://v1/test/race/c", echo());
    const std::vector<std::string> paths{"/v1/test/race/a", "/v1/test/race/b", "/v1/test/race/c"};
    std::atomic<int> served{0};
    std::atomic<int> wrong{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                WsClient client(port(), paths[static_cast<std::size_t>(t + round) % 3]);
                const std::string text = std::to_string(t) + "/" + std::to_string(round);
                client.sendText(text);
                // A refused client sees the connection close without a reply.
                if (const auto frame = client.nextFrame(3s)) {
                    (frame->payload == "re:" + text ? served : wrong)++;
                    client.close();
                }
            }
        });
    }
    threads.clear();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(served.load(), 0);
    EXPECT_TRUE(pathsBecome({}));
}

}  // namespace
}  // namespace kinetra::gateway
