// The link handler against the emulated adapter on a pseudo-terminal: status, gates, the stop-
// motion module's pairing, the radio update's thread, driven through the bus; and the handler
// under concurrent senders and torn down under traffic.
#include <algorithm>
#include <ranges>
#include <thread>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "link/pairing_codec.hpp"
#include "link_test_support.hpp"
#include "net/test_client.hpp"
#include "support/emulated_rig.hpp"
#include "support/log_capture.hpp"

namespace kinetra::link::test {
namespace {

using namespace std::chrono_literals;
using model::LinkConnectionType;

const json kOk = json{{"result", "ok"}};

sim::LinkConfig fastConfig(model::LinkType type = model::LinkType::linkAdapter) {
    auto config =
        type == model::LinkType::linkAdapter ? sim::LinkConfig{} : sim::defaultModuleConfig();
    config.timings.pairingTime = 100ms;
    return config;
}

/// Pollers that ask at once, radio update pauses and chunk waits cut short.
LinkTimings fastTimings() {
    auto timings = kinetra::testing::fastTimings();
    timings.longReplyRounds = 40;  // about 5 s for one chunk's acknowledgement
    timings.radioUpdatePause = 20ms;
    return timings;
}

// A link handler on the shared emulator rig, with what the tests watch besides the bus requests:
// the status messages it pushes to its bundle and the pairing callback's calls.
class LinkHandlerTest : public ::testing::Test {
protected:
    /// Starts the emulator with `config` and a handler on it.
    void start(sim::LinkConfig config = fastConfig()) {
        rig_.emplace(std::move(config), kinetra::testing::freshLinkId("KTEST"));
        linkId_ = rig_->linkId();
        emulator_ = &rig_->emulator();
        // Bound before the handler pushes: the bundle's side of the status outlet.
        statusInlet_.set(zmq::sockopt::linger, 0);
        statusInlet_.bind(bus::bundleUpdateStatusEndpoint(linkId_));
        handler_ = std::make_unique<LinkHandler>(
            rig_->linkInfo(), [this](bool paired) { pairing_.add(paired); }, fastTimings());
    }

    /// One request to `endpoint`, as the gateway makes it; nothing when no reply came in time.
    std::optional<std::string> ask(const std::string& endpoint, const json& request,
                                   std::chrono::milliseconds timeout = 5s) {
        return rig_->ask(endpoint, core::dumpCompact(request), timeout);
    }
    json commandJson(const std::string& name, json request = json::object()) {
        return rig_->link(name, std::move(request));
    }
    /// The link's status record once the poller has asked the adapter for its versions.
    json knownStatus() {
        EXPECT_TRUE(rig_->awaitLinkStatus()) << "the status poller never asked the adapter";
        return commandJson("status");
    }

    std::shared_ptr<zmq::context_t> context_ = bus::SocketRegistry::instance().context();
    zmq::socket_t statusInlet_{*context_, zmq::socket_type::pull};
    std::optional<kinetra::testing::EmulatedRig> rig_;
    std::string linkId_;
    sim::EmulatedLink* emulator_ = nullptr;
    /// Waits for a pairing callback call that says `paired`, among the calls from `from` on.
    bool pairingSays(bool paired, std::size_t from = 0) {
        return pairing_.waitUntil([&](const std::vector<bool>& calls) {
            const auto first =
                calls.begin() + static_cast<std::ptrdiff_t>(std::min(from, calls.size()));
            return std::find(first, calls.end(), paired) != calls.end();
        });
    }

    net::test::Recorder<bool> pairing_;     // every pairing callback call, in order
    std::unique_ptr<LinkHandler> handler_;  // after the rig: destroyed first
};

TEST_F(LinkHandlerTest, RequiredControllerUpdateRefusesLinkCommandsAndDetectButNotTheFirstFive) {
    auto config = fastConfig();
    config.controllerVersion = 1;
    start(config);
    const json status = knownStatus();
    EXPECT_EQ(status["isDeviceFirmwareUpdateRequired"], true);
    EXPECT_EQ(status["isDeviceFirmwareUpdateAvailable"], true);
    EXPECT_EQ(status["deviceFirmwareChangelog"], std::string(kDeviceFirmwareChangelog));

    const json refused{{"result", "firmwareUpdateRequired"}};
    const auto from = rig_->mark();
    EXPECT_EQ(commandJson("wirelessPairingScanStart"), refused);
    EXPECT_EQ(commandJson("disconnect"), refused);
    EXPECT_EQ(ask(bus::linkDetectEndpoint(linkId_), json::object()), refused.dump());
    EXPECT_EQ(rig_->mark(), from) << "a refused command wrote to the adapter";

    EXPECT_EQ(commandJson("linkRadioFirmwareUpdateStatus"),
              (json{{"result", "ok"}, {"status", "none"}}));
    EXPECT_EQ(commandJson("statusUpdate"), kOk);
}

// One adapter through a client's malformed requests, a pairing command racing a direct send, a
// radio group taken down, and a radio update until a stop.
TEST_F(LinkHandlerTest, OneAdapterThroughMalformedRequestsRacingSendersADisconnectAndARadioUpdate) {
    start();
    for (const json& request : {json{{"nothing", 1}}, json{{"command", 7}}, json::array()}) {
        EXPECT_EQ(ask(bus::linkEndpoint(linkId_), request), "{}") << request;
    }
    knownStatus();
    EXPECT_EQ(commandJson("wirelessPairingCreateBundle", {{"deviceCount", 2}}), json::object());

    // A pairing command from a client and a direct send (as the bundle's command thread makes)
    // racing on one link: each must get its own reply every time, and no frame may reach the
    // adapter damaged by another.
    constexpr int kRounds = 25;
    int clientFailures = 0;
    int senderFailures = 0;
    std::thread client([&] {
        for (int i = 0; i < kRounds; ++i) {
            const json reply = commandJson("link2PairingStatus");
            if (!reply.contains("data") || !reply["data"].contains("canbusPairState")) {
                ++clientFailures;
            }
        }
    });
    FrameEncoder versions;
    ASSERT_TRUE(encodeFrame(versions, bytes("1C")));
    for (int i = 0; i < kRounds; ++i) {
        const auto reply = handler_->sendWithRetry(versions.encoded());
        if (!reply || !matchesHeader(reply->message(), kLinkVersionsReply)) {
            ++senderFailures;
        }
    }
    client.join();
    EXPECT_EQ(clientFailures, 0);
    EXPECT_EQ(senderFailures, 0);
    EXPECT_EQ(emulator_->state().framesDiscarded, 0U);

    // Unpairing from a radio group takes the group down first, then selects no medium.
    ASSERT_EQ(rig_->pair(LinkConnectionType::wireless), "");
    ASSERT_TRUE(pairingSays(true));
    const auto from = rig_->mark();
    EXPECT_EQ(commandJson("disconnect"), kOk);
    std::vector<std::string> sent;  // what the pollers ask in between is left out
    for (const auto& received : emulator_->received() | std::views::drop(from)) {
        if (received.radio || received.isCommand(AdapterCommand::selectLink)) {
            sent.push_back(hex(received.bytes));
        }
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"11 0C", "1A 00"}));

    // The procedure itself, to the last chunk and each silence, is the scripted radio's
    // business (radio_update_test); here it runs on its thread until a stop ends it with an error.
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"), kOk);
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"),
              (json{{"result", "ok"}, {"status", "running"}}));
    ASSERT_TRUE(emulator_->waitForState(
        [](const auto& s) { return s.radioUpdate.chunksAcknowledged >= 50; }, 30s));
    EXPECT_EQ(emulator_->state().radioUpdate.begun, 1U);
    handler_->stop();
    EXPECT_TRUE(kinetra::testing::waitUntil(
        [&] { return handler_->radioUpdateStatus() == RadioUpdateStatus::error; }, 5s));
    EXPECT_LT(emulator_->state().radioUpdate.chunksReceived, 819U);  // of the image's 819
}

TEST_F(LinkHandlerTest, StopMotionModulePairsOnItsFirstStatusAndAgainAfterDisconnect) {
    start(fastConfig(model::LinkType::stopMotionModule));
    // The status-update poller asks the module for a status message.
    ASSERT_TRUE(pairingSays(true));
    // The record is filled from the same status that paired it, a moment after the callback.
    json status;
    kinetra::testing::waitUntil([&] { return (status = commandJson("status")).is_object(); });
    EXPECT_EQ(status.value("linkConnectionType", ""), "none") << status;
    const auto from = rig_->mark();
    const auto calls = pairing_.waitFor().size();
    EXPECT_EQ(commandJson("disconnect"), kOk);
    EXPECT_TRUE(pairingSays(false, calls));
    // Nothing goes to a module on disconnect, and its next status message pairs it again.
    const auto received = emulator_->received();
    EXPECT_TRUE(
        std::none_of(received.begin() + static_cast<std::ptrdiff_t>(from), received.end(),
                     [](const auto& r) { return r.isCommand(AdapterCommand::selectLink); }));
    EXPECT_TRUE(pairingSays(true, calls + 1));
}

// Exactly three attempts, each with its selection prelude, and then the failure text.
TEST_F(LinkHandlerTest, SilentAdapterIsAnsweredCouldNotGetResponseAfterThreeAttempts) {
    kinetra::testing::LogCapture log;  // before any thread logs: sinks change under no thread
    start();
    knownStatus();
    emulator_->updateFaults([](sim::Faults& faults) { faults.silent = true; });
    const auto from = rig_->mark();
    EXPECT_EQ(commandJson("link2PairingConnect"), (json{{"result", "could not get response"}}));
    const auto sent = [&](AdapterCommand command) {
        const auto received = emulator_->received();
        return std::count_if(received.begin() + static_cast<std::ptrdiff_t>(from), received.end(),
                             [&](const auto& r) { return r.isCommand(command); });
    };
    EXPECT_EQ(sent(AdapterCommand::selectLink), 3);
    EXPECT_EQ(sent(AdapterCommand::link2Connect), 3);
    EXPECT_TRUE(log.has("info: Command response time out,  retrying : 3"));
    EXPECT_FALSE(log.has("info: Command response time out,  retrying : 4"));
    handler_.reset();  // its threads end before the capture leaves the logger
}

// Head messages, with their length byte and sum.
const Bytes kHeadAbort = bytes("02 09 00 0B");
const Bytes kHeadStatusRequest = bytes("02 E6 00 E8");
const Bytes kHeadReadSlot0 = bytes("03 53 00 00 56");
// A key-pose move to slot 5, which holds no pose: the head refuses it and acknowledges nothing.
const Bytes kRefusedMove = bytes("11 07 FF 05 00 00 00 00 00 00 00 00 00 00 00 03 E8 02 07");
constexpr std::uint8_t kHeadReadAnswer = 18;

// Over a cable: a read that gave up, whose answer and acknowledgements all come during the next
// command's waits; handlers torn down under traffic and made again; a stop behind a message in
// doubt.
TEST_F(LinkHandlerTest, LateChangesGoToTheirOwnMessageAStopGoesAtOnceAndHandlersComeAndGo) {
    start();
    knownStatus();
    ASSERT_EQ(commandJson("link1PairingConnect"), kOk);
    ASSERT_TRUE(pairingSays(true));

    // None of the read's answers or changes is taken for the next command, which the head
    // refused.
    emulator_->updateFaults([](sim::Faults& f) { f.replyDelay = 450ms; });
    EXPECT_FALSE(handler_->sendAndMatch(kHeadReadSlot0, kHeadReadAnswer, 16));
    emulator_->updateFaults([](sim::Faults& f) { f.replyDelay = 0ms; });
    auto late = handler_->statistics().lateReplies.load();
    EXPECT_FALSE(handler_->sendAcknowledged(kRefusedMove, 3))
        << "an answer or change of the read was taken as the refused move's acknowledgement";
    // The read's three answers and three changes all came, and were dropped as late.
    const auto lateNow = [&] { return handler_->statistics().lateReplies.load() - late; };
    EXPECT_TRUE(kinetra::testing::waitUntil([&] { return lateNow() >= 6; }));
    EXPECT_EQ(lateNow(), 6u);
    // The device answers quickly again: the stop's own change is its, not the refused move's.
    const auto acknowledged = handler_->sendAcknowledged(kHeadAbort, 3);
    ASSERT_TRUE(acknowledged);
    EXPECT_EQ(acknowledged->message().size(), 1u);  // the acknowledge byte's new value
    EXPECT_EQ((*acknowledged)[0], emulator_->state().acknowledge);
    EXPECT_EQ(handler_->statistics().unacknowledged.load(), 1u);

    // Handlers on one port, one after the other, each torn down while a client request and
    // status messages are in flight. Sanitizer builds check that no thread outlives its handler.
    for (int round = 0; round < 3; ++round) {
        // The handler may go before it answers: the client gives up soon.
        std::thread client([this] {
            ask(bus::linkEndpoint(linkId_), {{"command", "statusUpdate"}}, 500ms);
        });
        handler_.reset();
        client.join();
        auto info = rig_->linkInfo();
        info.isPairingDone = true;
        info.linkConnectionType = LinkConnectionType::rj45;
        // Same link id, same names on the bus: the handler must be able to bind them again.
        handler_ = std::make_unique<LinkHandler>(
            info, [this](bool p) { pairing_.add(p); }, fastTimings());
        EXPECT_TRUE(handler_->isPaired());
        EXPECT_TRUE(bus::receiveWithin(statusInlet_, 5s));  // a status pushed for the bundle
    }

    // A fresh handler asks the adapter for its versions and takes the first acknowledge byte it
    // reads for a change: the stop's step begins once both are behind it.
    knownStatus();
    ASSERT_TRUE(kinetra::testing::waitUntil(
        [&] { return handler_->statistics().statusMessages.load() > 0; }));
    // A message still in doubt when a stop comes holds nothing up: the stop is written at once,
    // and the doubtful message's late change is credited to it, not to the stop.
    emulator_->updateFaults([](sim::Faults& f) { f.replyDelay = 300ms; });
    const auto from = rig_->mark();
    EXPECT_FALSE(handler_->sendAcknowledged(kHeadStatusRequest, 1));  // given up, in doubt
    const auto gaveUp = std::chrono::steady_clock::now();
    late = handler_->statistics().lateReplies.load();
    EXPECT_TRUE(handler_->sendAcknowledged(kHeadAbort, 3));  // by the change of its own first
    const auto abort = emulator_->waitForDeviceMessage(0x09, 5s, from);
    ASSERT_TRUE(abort);
    EXPECT_LT(abort->at - gaveUp, 50ms) << "the stop waited behind the doubtful message";
    EXPECT_EQ(handler_->statistics().lateReplies.load() - late, 1u);
}

}  // namespace
}  // namespace kinetra::link::test
