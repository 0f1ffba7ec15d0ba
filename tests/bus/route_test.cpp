// The request tag's bytes, and the route over inproc with real sockets: replies matched by id
// whatever their order, a late reply dropped and counted, the wake of a DEALER's descriptor, the
// per-client bound (which a stop passes), and an endpoint that closes while a request waits.
#include "bus/route.hpp"

#include <poll.h>

#include <chrono>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bus/request_tag.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "support/held_service.hpp"

namespace kinetra::bus {
namespace {

using namespace std::chrono_literals;
using testing::HeldService;

TEST(RequestTag, EncodesItsFieldsBigEndianAndRefusesWhatIsNoTag) {
    const RequestTag tag{
        .id = 0x0102030405060708, .client = 0xA1A2A3A4A5A6A7A8, .patience = 1000ms, .stop = true};
    const auto bytes = encodeRequestTag(tag);
    const std::vector<std::uint8_t> expected{'K',  'T',  1,    1,    0x00, 0x00, 0x03, 0xE8,
                                             0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                             0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), expected);
    EXPECT_EQ(decodeRequestTag(bytes), tag);
    // Out-of-range patience is clamped, never wrapped.
    EXPECT_EQ(decodeRequestTag(encodeRequestTag({.patience = -5ms}))->patience, 0ms);
    EXPECT_EQ(decodeRequestTag(encodeRequestTag({.patience = std::chrono::hours(2000)}))->patience,
              std::chrono::milliseconds(0xFFFFFFFF));

    // Not a tag: a byte short or long, another magic, version or an unknown flag.
    EXPECT_FALSE(decodeRequestTag(std::span(expected).first(kRequestTagSize - 1)));
    auto longer = expected;
    longer.push_back(0);
    EXPECT_FALSE(decodeRequestTag(longer));
    for (const auto& [at, value] : {std::pair{0, 'k'}, {2, '\x02'}, {3, '\x03'}}) {
        auto changed = expected;
        changed[at] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(decodeRequestTag(changed)) << at;
    }
}

// Drives `route` as its owning thread would, until `done` holds or 2 s pass.
bool drive(Route& route, const std::function<bool()>& done) {
    const auto deadline = Route::Clock::now() + 2s;
    while (!done()) {
        if (Route::Clock::now() > deadline) {
            return false;
        }
        const auto sockets = route.sockets();
        (void)waitReadable(sockets, 2ms);
        route.takeReplies();
        route.service(Route::Clock::now());
    }
    return true;
}

// A completion that appends the outcome to `ended`.
Route::Completion into(std::vector<Outcome>& ended) {
    return [&ended](Outcome outcome, std::string) { ended.push_back(outcome); };
}

TEST(Route, MatchesRepliesByIdInAnyOrderAndDropsALateOne) {
    HeldService service("inproc://test/route-order");
    Route route(SocketRegistry::instance().context());
    std::map<std::string, std::string> replies;
    for (const std::string body : {"a", "b", "c"}) {
        route.send({.endpoint = "inproc://test/route-order",
                    .body = body,
                    .client = 7,
                    .patience = body == "c" ? 30ms : 2000ms,
                    .done = [&replies, body](Outcome outcome, std::string reply) {
                        replies[body] = outcome == Outcome::reply ? reply : "no reply";
                    }});
    }
    ASSERT_TRUE(service.hold(3));
    EXPECT_EQ(service.tag(0)->client, 7u);
    EXPECT_EQ(service.tag(2)->patience, 30ms);
    ASSERT_TRUE(drive(route, [&] { return replies.contains("c"); }));  // c gave up
    service.answer(2);                                                 // ... and comes late
    service.answer(1);
    service.answer(0);
    ASSERT_TRUE(drive(route, [&] { return replies.size() == 3 && route.lateReplies() == 1; }));
    EXPECT_EQ(replies["a"], "re:a");
    EXPECT_EQ(replies["b"], "re:b");
    EXPECT_EQ(replies["c"], "no reply");
    EXPECT_EQ(route.waitingCount(), 0u);

    // An answered request's time-out goes with it: the next wake-up is the route's own sweep
    // (a second after the first service), not the moment "d" would have given up.
    route.send({.endpoint = "inproc://test/route-order",
                .body = "d",
                .patience = 400ms,
                .done = [&replies](Outcome, std::string reply) { replies["d"] = reply; }});
    ASSERT_TRUE(service.hold(4));
    service.answer(3);
    ASSERT_TRUE(drive(route, [&] { return replies.contains("d"); }));
    EXPECT_GT(*route.nextDeadline() - Route::Clock::now(), 450ms);
}

// An owner that sleeps on a DEALER's ZMQ_FD asks only the DEALERs it sent on, and nothing after
// taking replies: each time, the next reply must still wake the descriptor, with no zmq call in
// between.
TEST(Route, ADealerAskedAfterASendOrDrainedWakesItsDescriptorForTheNextReply) {
    HeldService service("inproc://test/route-wake");
    Route route(SocketRegistry::instance().context());
    std::vector<Outcome> ended;
    for (std::size_t round = 0; round < 3; ++round) {
        route.send({.endpoint = "inproc://test/route-wake", .body = "w", .done = into(ended)});
        ASSERT_TRUE(service.hold(round + 1));
        EXPECT_FALSE(route.sentOnHaveReplies()) << round;
        pollfd descriptor{route.sockets().at(0).get(zmq::sockopt::fd), POLLIN, 0};
        EXPECT_EQ(::poll(&descriptor, 1, 0), 0) << round;
        service.answer(round);
        EXPECT_EQ(::poll(&descriptor, 1, 2000), 1) << "no wake for reply " << round;
        route.takeReplies();
        EXPECT_EQ(ended.size(), round + 1);
    }
}

TEST(Route, BoundsEachClientApartAndLetsAStopThrough) {
    HeldService service("inproc://test/route-bounds");
    Route route(SocketRegistry::instance().context(), {.perClient = 2, .perEndpoint = 3});
    std::vector<Outcome> ended;
    const auto request = [&](std::uint64_t client, bool stop = false) {
        route.send({.endpoint = "inproc://test/route-bounds",
                    .body = std::to_string(client),
                    .client = client,
                    .stop = stop,
                    .done = into(ended)});
    };
    for (const std::uint64_t client : {1, 1, 1, 2, 3}) {  // the third 1 and the 3 are over
        request(client);
    }
    request(1, true);
    EXPECT_EQ(ended, (std::vector{Outcome::notQueued, Outcome::notQueued}));
    ASSERT_TRUE(service.hold(4));
    EXPECT_TRUE(service.tag(3)->stop);
    EXPECT_FALSE(service.tag(0)->stop);
    // An answer frees its client's slot.
    service.answer(0);
    ASSERT_TRUE(drive(route, [&] { return ended.size() == 3; }));
    request(1);
    EXPECT_EQ(ended.size(), 3u);
    EXPECT_TRUE(service.hold(5));
}

TEST(Route, EndsWaitingRequestsOfflineWhenTheEndpointClosesAndRefusesUnannouncedOnes) {
    Route route(SocketRegistry::instance().context());
    std::vector<Outcome> ended;
    route.send({.endpoint = "inproc://test/route-never", .body = "x", .done = into(ended)});
    EXPECT_EQ(ended, std::vector{Outcome::offline});
    EXPECT_EQ(route.socketCount(), 0u) << "a socket was made for an unannounced endpoint";

    HeldService service("inproc://test/route-closing");
    route.send({.endpoint = "inproc://test/route-closing",
                .body = "y",
                .patience = 5000ms,
                .done = into(ended)});
    ASSERT_TRUE(service.hold(1));
    service.close();
    ASSERT_TRUE(drive(route, [&] { return ended.size() == 2; }));
    EXPECT_EQ(ended.back(), Outcome::offline);
    ASSERT_TRUE(drive(route, [&] { return route.socketCount() == 0; }));
}

}  // namespace
}  // namespace kinetra::bus
