// The service loop answers every request exactly once, whatever its handler throws, and runs
// timed tasks at their deadlines; the reply envelope it and every service use.
#include "bus/service_loop.hpp"
#include "bus/envelope.hpp"

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"
#include "core/json.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;

zmq::socket_t boundReply(const char* endpoint) {
    zmq::socket_t rep(*SocketRegistry::instance().context(), zmq::socket_type::rep);
    rep.set(zmq::sockopt::linger, 0);
    rep.bind(endpoint);
    return rep;
}

TEST(ServiceLoop, AnswersEveryRequestEvenWhenItsHandlerThrows) {
    testing::LogCapture log;
    auto context = SocketRegistry::instance().context();
    auto rep = boundReply("inproc://test/service-loop");
    platform::StopSignal stop;
    std::jthread service([&] {
        ServiceLoop loop("Test service", stop);
        loop.answer(rep, [](std::string_view request) -> std::string {
            if (request == "runtime") {
                throw std::runtime_error("the handler broke");
            }
            if (request == "json") {
                return std::to_string(json::parse(R"("text")").get<int>());
            }
            return "echo " + std::string(request);
        });
        loop.run();
    });
    auto req = makeRequestSocket(*context, "inproc://test/service-loop",
                                 {.receiveTimeout = 2000ms, .sendTimeout = 2000ms});

    const struct {
        std::string request;
        std::string replyStart;
    } cases[] = {
        {"runtime", R"({"result":"the handler broke"})"},
        {"json", R"({"result":"[json.exception.type_error)"},
        {"after", "echo after"},  // the failures did not end the loop
    };
    for (const auto& [request, replyStart] : cases) {
        SCOPED_TRACE(request);
        ASSERT_TRUE(req.send(zmq::buffer(request), zmq::send_flags::none));
        zmq::message_t reply;
        ASSERT_TRUE(req.recv(reply));
        EXPECT_TRUE(reply.to_string().starts_with(replyStart)) << reply.to_string();
    }
    EXPECT_TRUE(log.has("warning: Test service: the handler broke"));
    stop.set();
}

// A task re-armed from inside itself runs at each deadline with no request to wake the loop, and
// once disarmed it runs no more while requests are still answered.
TEST(ServiceLoop, RunsATimedTaskAtEachDeadlineUntilItIsDisarmed) {
    auto context = SocketRegistry::instance().context();
    auto rep = boundReply("inproc://test/service-loop-timed");
    platform::StopSignal stop;
    std::atomic<int> runs{0};
    std::atomic<bool> early{false};
    std::jthread service([&] {
        ServiceLoop loop("Timed service", stop);
        loop.answer(rep, [&](std::string_view) { return std::to_string(runs.load()); });
        std::optional<ServiceLoop::TimePoint> next = std::chrono::steady_clock::now() + 20ms;
        loop.at([&] { return next; },
                [&] {
                    early = early || std::chrono::steady_clock::now() < *next;
                    next = ++runs < 3 ? std::optional(*next + 20ms) : std::nullopt;
                });
        loop.run();
    });
    ASSERT_TRUE(testing::waitUntil([&] { return runs == 3; }));
    EXPECT_FALSE(early);
    auto req = makeRequestSocket(*context, "inproc://test/service-loop-timed",
                                 {.receiveTimeout = 2000ms, .sendTimeout = 2000ms});
    ASSERT_TRUE(req.send(zmq::str_buffer("runs?"), zmq::send_flags::none));
    zmq::message_t reply;
    ASSERT_TRUE(req.recv(reply));
    EXPECT_EQ(reply.to_string(), "3");
    stop.set();
}

TEST(Envelope, BuildsCompactRepliesAndTakesOnlyAStringCommandOfAnObject) {
    EXPECT_EQ(resultText("offline"), R"({"result":"offline"})");
    EXPECT_EQ(core::dumpCompact(dataReply(json::array())), R"({"data":[],"result":"ok"})");
    EXPECT_EQ(commandOf(json::parse(R"({"command":"status","x":1})")), "status");
    for (const char* request : {R"({"command":5})", "{}", R"(["command"])", R"("command")"}) {
        EXPECT_FALSE(commandOf(json::parse(request)).has_value()) << request;
    }
    EXPECT_FALSE(parseRequest("{\"command\":").has_value());  // refused without throwing
    EXPECT_TRUE(parseRequest("{}").has_value());
}

}  // namespace
}  // namespace kinetra::bus
