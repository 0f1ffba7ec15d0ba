// A real bundle (BundleHandler) on the shared emulator rig: how each medium carries a command,
// refusals, reads, silent devices, the status feed, and bundles under concurrent clients and torn
// down under them. The test's threads drive it; the services run on the handler's threads.
#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "bundle/bundle_handler.hpp"
#include "bus/endpoints.hpp"
#include "bus/feed.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "model/axis_slot.hpp"
#include "support/emulated_rig.hpp"

namespace kinetra::bundle::test {
namespace {

using namespace std::chrono_literals;
using Medium = model::LinkConnectionType;
using kinetra::testing::device;
using kinetra::testing::gear;
using kinetra::testing::hex;
using kinetra::testing::kWait;
using kinetra::testing::waitUntil;
using model::DeviceModel;

// The rig's steps that did not happen in time become test failures here.
class BundleRig : public kinetra::testing::EmulatedRig {
public:
    explicit BundleRig(sim::LinkConfig config) : EmulatedRig(std::move(config)) {
        const auto info = linkInfo();
        handler_ = std::make_unique<BundleHandler>(linkId(), info.portName, info.initialFoundEpoch,
                                                   info, kinetra::testing::fastTimings());
    }
    ~BundleRig() { destroyHandler(); }

    /// Pairs over `medium` and waits for the first status on /status (the status service has no
    /// event to wait on, so it is asked again); false, with a test failure, when a step did not
    /// happen in time.
    bool pair(Medium medium) {
        const auto failure = EmulatedRig::pair(medium);
        json last;
        if (failure.empty() && waitUntil([&] {
                last = status();
                return last.is_object() && last["data"].is_object();
            })) {
            return true;
        }
        ADD_FAILURE() << (failure.empty() ? "no status; the last reply was " + last.dump()
                                          : failure);
        return false;
    }

    /// Stops and destroys the handler (idempotent), as the device service does.
    void destroyHandler() {
        if (handler_) {
            handler_->stop();
            handler_.reset();
        }
    }

private:
    std::unique_ptr<BundleHandler> handler_;
};

const json kOk{{"result", "ok"}};

// The payload of the host frame that carried the device message with `opcode` (received from
// `from` on): the emulator records the frame, then the message it held.
std::string carrier(BundleRig& rig, std::uint8_t opcode, std::size_t from) {
    if (!rig.emulator().waitForDeviceMessage(opcode, kWait, from)) {
        return "";
    }
    const auto all = rig.emulator().received();
    for (std::size_t i = from + 1; i < all.size(); ++i) {
        if (all[i].kind == sim::ReceivedKind::deviceMessage && all[i].opcode == opcode) {
            return hex(all[i - 1].bytes);
        }
    }
    return "";
}

// An acknowledged abort and an unacknowledged real-time move, wrapped for each medium.
TEST(BundleCommands, WrapsMessagesForTheMediumItPairedOver) {
    constexpr auto kRealTime = "11 8A 02 0C 80 01 F4 01 00 00 27 10 09 FF FF EC 78 05 C1";
    const std::tuple<Medium, std::string, std::string> rows[] = {
        {Medium::wireless, "11 0A 04 02 09 00 0B", std::string("11 0A 13 ") + kRealTime},
        {Medium::canbus, "18 02 09 00 0B", std::string("1B ") + kRealTime},
        {Medium::rj45, "12 02 09 00 0B", std::string("12 ") + kRealTime},
    };
    for (const auto& [medium, abortFrame, realTimeFrame] : rows) {
        SCOPED_TRACE(model::kLinkConnectionTypeTable.nameOf(medium));
        BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
        ASSERT_TRUE(rig.pair(medium));
        auto from = rig.mark();
        EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk);
        EXPECT_EQ(carrier(rig, 0x09, from), abortFrame);
        from = rig.mark();
        EXPECT_EQ(rig.command({{"command", "realTimeMoveFixedDuration"},
                               {"duration", 0.5},
                               {"headPan", 10},
                               {"headTilt", -5}}),
                  kOk);
        EXPECT_EQ(carrier(rig, 0x8A, from), realTimeFrame);
    }
}

// One paired head, command after command, its status feed beside. Before pairing nothing can reach
// the devices, and no command (a stop least of all) is answered "ok"; the status endpoint still
// answers. Paired, a refusal (the planner's tests have each kind) is answered with its text and
// nothing reaches the devices; the reads decode what the head answers. What adds up (a focus step)
// is written once, even when its acknowledgement only comes after the wait; what is safe to repeat
// keeps its three attempts, and a missing acknowledgement is answered "acknowledged": false either
// way. Silent, the devices leave commands unacknowledged after three attempts and reads unanswered.
TEST(BundleCommands, StatusFeedRefusalsReadsAndMissingAcknowledgementsOnOnePairedHead) {
    auto head = device(DeviceModel::turretAlpha2, 1);
    head.axes = model::bitOf(model::AxisSlot::headPan) | model::bitOf(model::AxisSlot::headTilt) |
                model::bitOf(model::AxisSlot::focus);
    BundleRig rig(gear({head}));
    const auto result = [](std::string_view text) { return json{{"result", text}}; };
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), result("Pairing is not completed."));
    // Not even looked at: a malformed request gets the same answer.
    EXPECT_EQ(rig.command({{"command", 5}}), result("Pairing is not completed."));
    EXPECT_EQ(rig.status(), (json{{"data", nullptr}, {"result", "ok"}}));
    EXPECT_TRUE(rig.deviceMessages().empty());

    auto context = bus::SocketRegistry::instance().context();
    auto feed = bus::makeFeedSubscriber(*context);
    feed.set(zmq::sockopt::subscribe, bus::statusTopic(rig.linkId()));
    ASSERT_TRUE(rig.pair(Medium::canbus));
    // Each decoded status goes out on the feed as it comes, with the very data /status answers:
    // the status thread publishes a status before it answers any later request, so the data of a
    // /status reply has been published, text for text, by the time the reply arrives.
    const auto answered = core::dumpCompact(rig.status()["data"]);
    const std::array<zmq::socket_ref, 1> sockets{feed};
    bool published = false;
    for (const auto end = std::chrono::steady_clock::now() + kWait;
         !published && std::chrono::steady_clock::now() < end;) {
        const auto message =
            bus::waitReadable(sockets, 100ms) ? bus::tryReceiveFeed(feed) : std::nullopt;
        published = message && message->topic == bus::statusTopic(rig.linkId()) &&
                    message->body == answered;
    }
    EXPECT_TRUE(published) << "no status published as " << answered;

    auto from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "joystickMove"}, {"headPan", 0.5}}),
              result("invalid setup"));
    EXPECT_EQ(
        rig.ask(bus::bundleEndpoint(rig.linkId()), R"({"command":"motionAbort")"),
        result("command parsing error. please check the arguments, syntax, naming etc.").dump());
    EXPECT_TRUE(rig.deviceMessages(from).empty()) << hex(rig.deviceMessages(from).front().bytes);
    from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), kOk);
    EXPECT_EQ(rig.sent(0x09, from), "02 09 00 0B");

    ASSERT_EQ(rig.command({{"command", "keyposeStoreWithNumericData"},
                           {"index", 2},
                           {"headPan", 10.5},
                           {"headTilt", -4.25},
                           {"focus", 7}}),
              kOk);
    EXPECT_EQ(rig.command({{"command", "keyposeReadNumericValues"}, {"index", 2}}),
              (json{{"data", {{"focus", 7}, {"headPan", 10.5}, {"headTilt", -4.25}, {"index", 2}}},
                    {"result", "ok"}}));
    // An empty slot answers with index -1.
    const json empty = rig.command({{"command", "keyposeReadNumericValues"}, {"index", 4}});
    EXPECT_EQ(empty["result"], "read index different") << empty;
    EXPECT_EQ(empty["data"]["index"], -1) << empty;
    EXPECT_EQ(rig.command({{"command", "numericLimitValues"}})["data"]["tiltMaxLimit"], 89.1);

    const json unacknowledged{{"acknowledged", false}, {"result", "ok"}};
    const json focusStep{{"command", "focusManualMove"}, {"deltaEnc", 100}};
    const json deletePose{{"command", "keyposeDeletePose"}, {"index", 1}};
    const struct {
        std::chrono::milliseconds replyDelay;
        unsigned dropEveryNthReply;
        json request;
        std::uint8_t opcode;
        std::size_t written;
    } rows[] = {
        {300ms, 0, focusStep, 0x0C, 1},
        {0ms, 1, focusStep, 0x0C, 1},
        {0ms, 1, deletePose, 0x06, 3},
    };
    for (const auto& row : rows) {
        rig.emulator().updateFaults([&](sim::Faults& f) {
            f.replyDelay = row.replyDelay;
            f.dropEveryNthReply = row.dropEveryNthReply;
        });
        from = rig.mark();
        EXPECT_EQ(rig.command(row.request), unacknowledged) << row.request;
        const auto messages = rig.deviceMessages(from);
        EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                                [&](const sim::Received& m) { return m.opcode == row.opcode; }),
                  row.written)
            << row.request;
    }

    rig.emulator().updateFaults([](sim::Faults& f) { f.silent = true; });
    from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}), unacknowledged);
    const auto attempts = rig.deviceMessages(from);
    EXPECT_EQ(attempts.size(), 3u) << "three attempts";
    EXPECT_TRUE(std::all_of(attempts.begin(), attempts.end(),
                            [](const sim::Received& r) { return hex(r.bytes) == "02 09 00 0B"; }));
    const json noResponse{{"result", "could not get a response"}};
    from = rig.mark();
    EXPECT_EQ(rig.command({{"command", "keyposeReadNumericValues"}, {"index", 0}}), noResponse);
    EXPECT_EQ(rig.command({{"command", "numericLimitValues"}}), noResponse);
    EXPECT_EQ(rig.deviceMessages(from).size(), 6u);
}

// Every bundle of the process draws from one counter: two storing at once never share one.
TEST(BundleLifetime, KeyposeIdentifiersStayUniqueAcrossBundlesStoringAtOnce) {
    constexpr int kStores = 15;
    BundleRig first(gear({device(DeviceModel::turretAlpha2, 1)}));
    BundleRig second(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(first.pair(Medium::canbus) && second.pair(Medium::canbus));
    {
        std::vector<std::jthread> clients;
        for (auto* rig : {&first, &second}) {
            clients.emplace_back([rig] {
                for (int n = 0; n < kStores; ++n) {
                    EXPECT_EQ(
                        rig->command({{"command", "keyposeStoreCurrentPose"}, {"index", n % 6}}),
                        kOk);
                }
            });
        }
    }
    // A retried store repeats its message; two stores never share an identifier.
    std::set<core::Bytes> stores;
    std::set<std::uint32_t> identifiers;
    for (auto* rig : {&first, &second}) {
        for (const auto& message : rig->deviceMessages()) {
            if (message.opcode == 0x05 && stores.insert(message.bytes).second) {
                identifiers.insert(core::readU32BE(message.bytes, 3));
            }
        }
    }
    EXPECT_EQ(stores.size(), 2u * kStores);
    EXPECT_EQ(identifiers.size(), 2u * kStores) << "identifiers were handed out twice";
}

// The read waits up to three times on a device that never answers; the bundle goes meanwhile.
TEST(BundleLifetime, DestroyingABundleWhileACommandWaitsOnTheLinkEndsIt) {
    auto rig = std::make_unique<BundleRig>(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig->pair(Medium::rj45));
    rig->emulator().updateFaults([](sim::Faults& f) { f.silent = true; });
    const auto from = rig->mark();
    std::optional<std::string> reply;
    std::jthread client([&] {
        reply =
            rig->ask(bus::bundleEndpoint(rig->linkId()), R"({"command":"numericLimitValues"})", 2s);
    });
    ASSERT_TRUE(rig->emulator().waitForDeviceMessage(0xB3, kWait, from)) << "never in flight";
    rig->destroyHandler();
    client.join();
    // Whether the reply made it out before the socket closed is a race; none may come late.
    if (reply) {
        EXPECT_EQ(*reply, R"({"result":"could not get a response"})");
    }
    const auto endpoint = bus::bundleEndpoint(rig->linkId());
    EXPECT_TRUE(waitUntil([&] { return !bus::SocketRegistry::instance().isOpen(endpoint); }));
}

}  // namespace
}  // namespace kinetra::bundle::test
