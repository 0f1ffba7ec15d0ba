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

}  // namespace
}  // namespace kinetra::bus
