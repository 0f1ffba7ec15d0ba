// TcpService, ListenerBuilder and TcpConnection over real sockets on 127.0.0.1.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"
#include "test_client.hpp"

namespace kinetra::net {
namespace {

using test::Recorder;
using test::TestClient;
using namespace std::chrono_literals;

// A running service with one listener on an ephemeral port.
struct Server {
    explicit Server(TcpConnection::EnterCallback enter, std::size_t workers = 2) {
        service->start(workers);
        listener.withService(service)
            .withAddress("127.0.0.1", 0)
            .withSocketSetup(ListenerBuilder::tcpNoDelay())
            .withEnterCallback(std::move(enter));
        listener.start();
    }
    std::shared_ptr<TcpService> service = std::make_shared<TcpService>();
    ListenerBuilder listener;  // after the service: stopped first
};

std::string listenErrorOf(const std::string& address, std::uint16_t port) {
    auto service = std::make_shared<TcpService>();
    service->start(1);
    ListenerBuilder listener;
    listener.withService(service).withAddress(address, port);
    try {
        listener.start();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "started";
}

TEST(ListenerBuilder, ReportsTheSystemErrorNumberWhenItCannotListen) {
    Server first([](const TcpConnection::Ptr&) {});
    ASSERT_NE(first.listener.port(), 0);
    EXPECT_EQ(listenErrorOf("127.0.0.1", first.listener.port()),
              "listen error of:" + std::to_string(EADDRINUSE));
    // Address text is converted, never resolved: a host name is invalid.
    EXPECT_EQ(listenErrorOf("localhost", 0), "listen error of:" + std::to_string(EINVAL));
    EXPECT_EQ(listenErrorOf("::1", 0), "listen error of:" + std::to_string(EINVAL));
}

TEST(ListenerBuilder, SpreadsConnectionsOverTheWorkerLoops) {
    Recorder<std::thread::id> entered;
    Server server([&](const TcpConnection::Ptr&) { entered.add(std::this_thread::get_id()); }, 2);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<TestClient>(server.listener.port()));
    }
    const auto threads = entered.waitFor(4);
    ASSERT_EQ(threads.size(), 4U);
    std::map<std::thread::id, int> perThread;
    for (const auto& id : threads) {
        ++perThread[id];
    }
    EXPECT_EQ(perThread.size(), 2U);
    for (const auto& [id, count] : perThread) {
        EXPECT_EQ(count, 2) << "round robin over two loops";
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(ListenerBuilder, DropsAConnectionWhoseSetUpFailsAndKeepsAccepting) {
    int calls = 0;  // the set-up steps run on the accept thread only
    Recorder<int> entered;
    auto service = std::make_shared<TcpService>();
    service->start(1);
    ListenerBuilder listener;
    listener.withService(service)
        .withAddress("127.0.0.1", 0)
        .withSocketSetup([&](asio::ip::tcp::socket&) {
            if (++calls == 1) {
                throw std::runtime_error("refused by the test");
            }
        })
        .withEnterCallback([&](const TcpConnection::Ptr&) { entered.add(1); });
    listener.start();
    TestClient refused(listener.port());
    refused.readToEnd();
    EXPECT_TRUE(refused.closedByServer());
    TestClient accepted(listener.port());
    EXPECT_EQ(entered.waitFor(1).size(), 1U);
}

TEST(TcpConnection, SendsFromOtherThreadsArePostedToItsLoopInOrder) {
    Recorder<TcpConnection::Ptr> connections;
    Recorder<std::thread::id> loopThread;
    Recorder<std::thread::id> callbackThreads;
    Server server([&](const TcpConnection::Ptr& connection) {
        loopThread.add(std::this_thread::get_id());
        connections.add(connection);
    });
    TestClient client(server.listener.port());
    const auto connection = connections.waitFor(1).at(0);

    constexpr int kSends = 200;
    auto sendAll = [&](char tag) {
        for (int i = 0; i < kSends; ++i) {
            connection->send(std::string(1, tag) + std::to_string(i) + ";",
                             [&](const std::error_code& error) {
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
        return text.find("a199;") != std::string::npos && text.find("b199;") != std::string::npos;
    });

    const auto callbacks = callbackThreads.waitFor(2 * kSends);
    ASSERT_EQ(callbacks.size(), 2U * kSends);
    for (const auto& id : callbacks) {
        ASSERT_EQ(id, loopThread.items().at(0));
    }
    // Each thread's texts arrive whole and in the order that thread sent them.
    for (char tag : {'a', 'b'}) {
        std::size_t at = 0;
        for (int i = 0; i < kSends; ++i) {
            const std::string piece = std::string(1, tag) + std::to_string(i) + ";";
            at = received.find(piece, at);
            ASSERT_NE(at, std::string::npos) << piece;
        }
    }
}

TEST(TcpConnection, ShutdownDeliversPendingDataThenEndsTheStream) {
    Server server([](const TcpConnection::Ptr& connection) {
        connection->setDataCallback([connection](std::string_view data) {
            connection->send("echo:" + std::string(data));
            connection->send(std::string(100000, 'x'));
            connection->shutdown();
            connection->send("refused after shutdown");
        });
    });
    TestClient client(server.listener.port());
    client.send("ping");
    const std::string received = client.readToEnd();
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(received, "echo:ping" + std::string(100000, 'x'));
}

TEST(TcpConnection, AnswersAPeerThatHalfClosedAfterItsRequest) {
    Server server([](const TcpConnection::Ptr& connection) {
        connection->setDataCallback([connection](std::string_view) {
            connection->send(std::string(1 << 20, 'r'));
            connection->shutdown();
        });
    });
    TestClient client(server.listener.port());
    client.send("request");
    client.shutdownSend();
    EXPECT_EQ(client.readToEnd().size(), std::size_t{1} << 20);
}

TEST(TcpConnection, EverySendCallbackRunsOnceWhenACallbackCloses) {
    Recorder<std::string> results;
    Server server([&](const TcpConnection::Ptr& connection) {
        connection->setDataCallback([&, connection](std::string_view) {
            connection->send("first", [&, connection](const std::error_code& error) {
                results.add(error ? "first failed" : "first written");
                connection->close();
            });
            for (const char* name : {"second", "third", "fourth"}) {
                connection->send(std::string(200000, 'x'), [&, name](const std::error_code& error) {
                    results.add(std::string(name) + (error ? " failed" : " written"));
                });
            }
        });
    });
    TestClient client(server.listener.port());
    client.send("go");
    const auto seen = results.waitFor(4);
    ASSERT_EQ(seen.size(), 4U);
    EXPECT_EQ(seen[0], "first written");
    EXPECT_EQ(seen[3], "fourth failed");
}

TEST(TcpConnection, ShutdownClosesAPeerThatNeverClosesAfterTheLingerTime) {
    Recorder<std::chrono::steady_clock::time_point> closedAt;
    Server server([&](const TcpConnection::Ptr& connection) {
        connection->setClosedCallback(
            [&](const TcpConnection::Ptr&) { closedAt.add(std::chrono::steady_clock::now()); });
        connection->setDataCallback([connection](std::string_view) {
            connection->send("bye");
            connection->shutdown();
        });
    });
    TestClient client(server.listener.port());
    client.send("hello");
    EXPECT_EQ(client.readToEnd(), "bye");  // our FIN arrives; the client keeps its side open
    const auto shutAt = std::chrono::steady_clock::now();
    const auto closed = closedAt.waitFor(1, TcpConnection::kLingerTimeout + 3s);
    ASSERT_EQ(closed.size(), 1U);
    EXPECT_GE(closed[0] - shutAt, TcpConnection::kLingerTimeout - 500ms);
}

TEST(TcpConnection, OperationsAfterThePeerHasGoneAreHarmless) {
    Recorder<TcpConnection::Ptr> connections;
    Recorder<int> closed;
    Recorder<std::error_code> sendResults;
    Server server([&](const TcpConnection::Ptr& connection) {
        connection->setClosedCallback([&](const TcpConnection::Ptr&) { closed.add(1); });
        connections.add(connection);
    });
    {
        TestClient client(server.listener.port());
        connections.waitFor(1);
        client.reset();
    }
    ASSERT_EQ(closed.waitFor(1).size(), 1U);
    const auto connection = connections.items().at(0);
    connection->send("late", [&](const std::error_code& error) { sendResults.add(error); });
    connection->shutdown();
    connection->close();
    const auto results = sendResults.waitFor(1);
    ASSERT_EQ(results.size(), 1U);
    EXPECT_TRUE(results[0]);
    EXPECT_EQ(closed.items().size(), 1U);  // the closed callback ran once

    server.listener.stop();
    server.service->stop();
    connection->send("after stop");  // dropped: nothing runs, nothing throws
    connection->close();
}

TEST(TcpService, StopClosesLiveConnectionsAndJoinsItsThreads) {
    Recorder<int> entered;
    Recorder<int> closed;
    Server server(
        [&](const TcpConnection::Ptr& connection) {
            entered.add(1);
            connection->setClosedCallback([&](const TcpConnection::Ptr&) { closed.add(1); });
        },
        3);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<TestClient>(server.listener.port()));
        clients.back()->send("hello");
    }
    ASSERT_EQ(entered.waitFor(6).size(), 6U);
    server.listener.stop();
    server.service->stop();
    EXPECT_EQ(closed.items().size(), 6U);  // stop() returned after every closed callback
    EXPECT_EQ(server.service->workerCount(), 0U);
    for (auto& client : clients) {
        client->readToEnd();
        EXPECT_TRUE(client->closedByServer());
    }
    server.service->stop();  // idempotent
}

}  // namespace
}  // namespace kinetra::net
