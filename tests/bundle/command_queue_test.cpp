// The bundle's command queue, script by script: each step offers a request or takes the next,
// and says what must come out (taken, cancelled, refused, expired, preempt).
#include "bundle/command_queue.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kinetra::bundle {
namespace {

using namespace std::chrono_literals;
using Clock = CommandQueue::Clock;

const Clock::time_point t0{};

// A request whose client is its name's first letter; a stop, or with the patience given.
CommandQueue::Entry request(const std::string& name, bool stop = false,
                            std::optional<std::chrono::milliseconds> patience = std::nullopt) {
    return {.client = name.substr(0, 1),
            .stop = stop,
            .deadline = patience ? std::optional(t0 + *patience) : std::nullopt,
            .body = name,
            .envelope = {}};
}

std::string names(const std::vector<CommandQueue::Entry>& entries) {
    std::string result;
    for (const auto& entry : entries) {
        result += (result.empty() ? "" : " ") + entry.body;
    }
    return result;
}

// Takes and finishes until nothing runs at `now`; the bodies in the order taken.
std::string drain(CommandQueue& queue, Clock::time_point now = t0) {
    std::vector<CommandQueue::Entry> taken;
    while (auto next = queue.take(now).next) {
        taken.push_back(std::move(*next));
        queue.finish();
    }
    return names(taken);
}

TEST(CommandQueue, StopsGoFirstInTheirOrderCancelWhatCameBeforeAndPreemptOnlyOrdinaryCommands) {
    CommandQueue queue;
    queue.offer(request("a1"), t0);
    ASSERT_EQ(queue.take(t0).next->body, "a1");  // running
    queue.offer(request("a2"), t0);
    queue.offer(request("b1"), t0);
    queue.offer(request("a3"), t0);

    const auto first = queue.offer(request("s1", true), t0);
    EXPECT_EQ(names(first.cancelled), "a2 b1 a3");  // in arrival order, across clients
    EXPECT_TRUE(first.preempt);
    EXPECT_FALSE(first.refused);
    EXPECT_FALSE(queue.take(t0).next) << "nothing starts while a1 runs";
    queue.finish();

    queue.offer(request("b2"), t0);  // after the stop: not cancelled by it
    const auto second = queue.offer(request("s2", true), t0);
    EXPECT_EQ(names(second.cancelled), "b2");
    EXPECT_FALSE(second.preempt);
    queue.offer(request("c1"), t0);
    ASSERT_EQ(queue.take(t0).next->body, "s1");
    const auto third = queue.offer(request("s3", true), t0);
    EXPECT_FALSE(third.preempt) << "a stop is never preempted";
    EXPECT_EQ(names(third.cancelled), "c1");
    queue.finish();
    queue.offer(request("c2"), t0);
    EXPECT_EQ(drain(queue), "s2 s3 c2");
}

TEST(CommandQueue, ServesClientsInTurnWithinTheirBounds) {
    CommandQueue queue({.perClient = 3, .total = 6});
    for (const auto* name : {"a1", "a2", "a3", "b1", "c1", "c2"}) {
        EXPECT_FALSE(queue.offer(request(name), t0).refused) << name;
    }
    const auto overClient = queue.offer(request("a4"), t0);
    ASSERT_TRUE(overClient.refused);
    EXPECT_EQ(overClient.refused->body, "a4");
    EXPECT_TRUE(queue.offer(request("d1"), t0).refused) << "over the bundle's bound";
    EXPECT_EQ(queue.size(), 6u);
    EXPECT_EQ(drain(queue), "a1 b1 c1 a2 c2 a3");

    // A full queue still takes a stop: it cancels what fills it.
    CommandQueue full({.perClient = 2, .total = 2});
    full.offer(request("a1"), t0);
    full.offer(request("b1"), t0);
    const auto stop = full.offer(request("z1", true), t0);
    EXPECT_FALSE(stop.refused);
    EXPECT_EQ(names(stop.cancelled), "a1 b1");
    full.offer(request("z2", true), t0);
    EXPECT_TRUE(full.offer(request("z3", true), t0).refused) << "stops are bounded too";
}

TEST(CommandQueue, HandsBackWhatItsSenderGaveUpOnButNeverAStop) {
    CommandQueue queue;
    queue.offer(request("s1", true, 10ms), t0);
    EXPECT_EQ(drain(queue, t0 + 20ms), "s1");
    queue.offer(request("a1", false, 10ms), t0);
    queue.offer(request("b1", false, 10ms), t0);
    queue.offer(request("b2", false, 100ms), t0);
    // The client's own expired commands make room for it as it offers more.
    const auto offered = queue.offer(request("a2"), t0 + 20ms);
    EXPECT_EQ(names(offered.expired), "a1");
    const auto taken = queue.take(t0 + 20ms);
    EXPECT_EQ(names(taken.expired), "b1");
    EXPECT_EQ(taken.next->body, "b2");
    queue.finish();
    EXPECT_EQ(drain(queue, t0 + 20ms), "a2");
    EXPECT_EQ(queue.size(), 0u);
}

TEST(CommandQueue, AHeldClientWaitsButItsStopsAndOtherClientsDoNot) {
    CommandQueue queue;
    queue.hold("a", t0 + 100ms);
    queue.offer(request("a1"), t0);
    queue.offer(request("b1"), t0);
    EXPECT_EQ(drain(queue, t0 + 50ms), "b1");
    EXPECT_EQ(queue.nextRelease(), t0 + 100ms);
    queue.offer(request("a2", true), t0 + 50ms);  // a stop of the held client cancels a1
    EXPECT_EQ(drain(queue, t0 + 50ms), "a2");

    queue.offer(request("a3"), t0 + 50ms);
    EXPECT_EQ(drain(queue, t0 + 60ms), "");
    EXPECT_EQ(drain(queue, t0 + 100ms), "a3");
    EXPECT_FALSE(queue.nextRelease());

    queue.hold("a", t0 + 500ms);
    queue.offer(request("a4"), t0 + 100ms);
    queue.releaseHolds();  // the link paired
    EXPECT_EQ(drain(queue, t0 + 100ms), "a4");
}

}  // namespace
}  // namespace kinetra::bundle
