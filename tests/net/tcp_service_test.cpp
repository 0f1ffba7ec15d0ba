// TcpService, ListenerBuilder and TcpConnection over real sockets on 127.0.0.1: listening
// errors, the send queue across threads, the ways a connection ends, and stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "loopback_server.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using namespace std::chrono_literals;
using test::Recorder;
using test::TestClient;
using Clock = std::chrono::steady_clock;

// A server whose connections report to the test: each one as it enters, the loop thread it
// runs on and when it closed; `onData` answers what a peer sends.
class TcpTest : public ::testing::Test {
protected:
    using OnData = std::function<void(const TcpConnection::Ptr&, std::string_view)>;

    std::uint16_t serve(OnData onData = {}, std::size_t workers = 2,
                        ListenerBuilder::SocketSetup setup = {}) {
        const auto enter = [this, onData](const TcpConnection::Ptr& connection) {
            connections.add(connection);
            loops.add(std::this_thread::get_id());
            connection->setClosedCallback([this](const auto&) { closedAt.add(Clock::now()); });
            if (onData) {
                connection->setDataCallback(
                    [connection, onData](std::string_view data) { onData(connection, data); });
            }
        };
        server.emplace(enter, workers, 8192, std::move(setup));
        return server->port();
    }

    Recorder<TcpConnection::Ptr> connections;
    Recorder<std::thread::id> loops;
    Recorder<Clock::time_point> closedAt;
    std::optional<test::LoopbackServer> server;  // last: stopped before the recorders go
};

// The second set-up throws what the listener's own catch does not take: the loop that accepted
// restarts, and must have an accept armed again. A service stopped before its listener must not
// hang on the listener's pending accepts, and the port closes with the listener. The connection
// that is accepted has Nagle's delay off without a call of its own (the listener's option).
TEST_F(TcpTest, ListenerDropsAConnectionWhoseSetUpFailsAndReportsWhyItCannotListen) {
    int calls = 0;  // the set-up steps run on the one loop only
    bool noDelay = false;
    serve({}, 1, [&calls, &noDelay](asio::ip::tcp::socket& socket) {
        if (++calls == 1) {
            throw std::runtime_error("refused by the test");
        }
        if (calls == 2) {
            throw calls;
        }
        asio::ip::tcp::no_delay option;
        socket.get_option(option);
        noDelay = option.value();
    });
    EXPECT_EQ(TestClient::exchange(server->port(), ""), "");
    EXPECT_EQ(TestClient::exchange(server->port(), ""), "");
    TestClient accepted(server->port());
    EXPECT_EQ(connections.waitFor(1).size(), 1U);
    EXPECT_TRUE(noDelay);

    // Address text is converted, never resolved: a host name is invalid, and so is IPv6.
    const std::tuple<std::string, std::uint16_t, int> cases[] = {
        {"127.0.0.1", server->port(), EADDRINUSE},
        {"localhost", 0, EINVAL},
        {"::1", 0, EINVAL},
    };
    for (const auto& [address, port, error] : cases) {
        ListenerBuilder listener;
        listener.withService(server->service).withAddress(address, port);
        try {
            listener.start();
            ADD_FAILURE() << address << " started";
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(failure.what(), "listen error of:" + std::to_string(error)) << address;
        }
    }
    const std::uint16_t port = server->port();
    server->service->stop();
    server->listener.stop();
    EXPECT_THROW(TestClient{port}, std::runtime_error);
}

TEST_F(TcpTest, ShutdownDeliversEverythingQueuedThenClosesWithinItsBound) {
    serve([](const TcpConnection::Ptr& connection, std::string_view data) {
        connection->send("echo:" + std::string(data));
        connection->send(std::string(1 << 20, 'x'));
        connection->shutdown();
        connection->send("refused after shutdown");
    });
    // A peer that half-closes right after its request (while the answer is being written) is
    // closed once it has the answer; one that keeps its side open, after the linger time.
    for (const bool halfClose : {true, false}) {
        TestClient client(server->port());
        client.send("ping");
        if (halfClose) {
            client.shutdownSend();
        }
        EXPECT_EQ(client.readToEnd(), "echo:ping" + std::string(1 << 20, 'x')) << halfClose;
        const auto finAt = Clock::now();
        const auto closed = closedAt.waitFor(halfClose ? 1 : 2, TcpConnection::kLingerTimeout + 3s);
        ASSERT_EQ(closed.size(), halfClose ? 1U : 2U);
        EXPECT_EQ(closed.back() - finAt > TcpConnection::kLingerTimeout - 500ms, !halfClose);
    }
}

TEST_F(TcpTest, EverySendCallbackRunsOnceWhenACallbackCloses) {
    Recorder<std::string> results;
    serve([&results](const TcpConnection::Ptr& connection, std::string_view) {
        connection->send("first", [&results, connection](const std::error_code& error) {
            results.add(error ? "first failed" : "first written");
            connection->close();
        });
        for (const char* name : {"second", "third", "fourth"}) {
            connection->send(std::string(200000, 'x'), [&results, name](const auto& error) {
                results.add(std::string(name) + (error ? " failed" : " written"));
            });
        }
    });
    TestClient client(server->port());
    client.send("go");
    const auto seen = results.waitFor(4);
    ASSERT_EQ(seen.size(), 4U);
    EXPECT_EQ(seen[0], "first written");
    EXPECT_EQ(seen[3], "fourth failed");
}

TEST_F(TcpTest, SendsFromOtherThreadsArePostedInOrderAndOperationsAfterThePeerWentAreHarmless) {
    TestClient client(serve());
    const auto connection = connections.waitFor(1).at(0);
    Recorder<std::thread::id> callbackThreads;
    constexpr int kSends = 200;
    auto sendAll = [&](char tag) {
        for (int i = 0; i < kSends; ++i) {
            connection->send(tag + std::to_string(i) + ";", [&](const std::error_code& error) {
                if (!error) {
                    callbackThreads.add(std::this_thread::get_id());
                }
            });
        }
    };
    std::thread a(sendAll, 'a');
    std::thread b(sendAll, 'b');
    a.join();
    b.join();
    const std::string received = client.readUntil([](const std::string& text) {
        return text.find("a199;") != text.npos && text.find("b199;") != text.npos;
    });

    const auto callbacks = callbackThreads.waitFor(2 * kSends);
    EXPECT_EQ(std::count(callbacks.begin(), callbacks.end(), loops.waitFor().at(0)), 2 * kSends);
    // Each thread's texts arrive whole and in the order that thread sent them.
    for (char tag : {'a', 'b'}) {
        std::size_t at = 0;
        for (int i = 0; i < kSends; ++i) {
            at = received.find(tag + std::to_string(i) + ";", at);
            ASSERT_NE(at, std::string::npos) << tag << i;
        }
    }

    client.reset();
    ASSERT_EQ(closedAt.waitFor(1).size(), 1U);
    Recorder<std::error_code> sendResults;
    connection->send("late", [&](const std::error_code& error) { sendResults.add(error); });
    connection->shutdown();
    connection->close();
    EXPECT_TRUE(sendResults.waitFor(1).at(0));  // an error
    EXPECT_EQ(closedAt.waitFor().size(), 1U);   // the closed callback ran once

    server->listener.stop();
    server->service->stop();
    connection->send("after stop");  // dropped: nothing runs, nothing throws
    connection->close();
}

}  // namespace
}  // namespace kinetra::net
