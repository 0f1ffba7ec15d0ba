// The service loop answers every request exactly once, whatever its handler throws. (Its timed
// tasks run in every service that keeps a deadline.)
#include "bus/service_loop.hpp"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bus/socket_registry.hpp"
#include "core/json.hpp"
#include "support/log_capture.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;

TEST(ServiceLoop, AnswersEveryRequestEvenWhenItsHandlerThrows) {
    testing::LogCapture log;
    auto context = SocketRegistry::instance().context();
    zmq::socket_t rep(*context, zmq::socket_type::rep);
    rep.set(zmq::sockopt::linger, 0);
    rep.bind("inproc://test/service-loop");
    platform::StopSignal stop;
    std::jthread service([&] {
        ServiceLoop loop("Test service", stop);
        loop.answer(rep, [](std::string_view request) -> std::string {
            if (request == "json") {  // a library's exception is answered with its text too
                return std::to_string(json::parse(R"("text")").get<int>());
            }
            throw std::runtime_error("the handler broke on " + std::string(request));
        });
        loop.run();
    });
    auto req = makeRequestSocket(*context, "inproc://test/service-loop",
                                 {.receiveTimeout = 2000ms, .sendTimeout = 2000ms});
    const auto ask = [&req](std::string_view request) {
        zmq::message_t reply;
        return req.send(zmq::buffer(request)) && req.recv(reply) ? reply.to_string() : "no reply";
    };
    EXPECT_TRUE(ask("json").starts_with(R"({"result":"[json.exception.type_error)"));
    EXPECT_EQ(ask("x"), R"({"result":"the handler broke on x"})");  // the loop went on
    EXPECT_TRUE(log.has("warning: Test service: the handler broke on x"));
    stop.set();
}

}  // namespace
}  // namespace kinetra::bus
