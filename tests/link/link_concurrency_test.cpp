// The link handler under concurrent use: senders racing on one link, handlers created and
// destroyed while traffic flows.
#include <thread>

#include "link/adapter_commands.hpp"
#include "link/link_fixture.hpp"

namespace kinetra::link::test {
namespace {

core::Bytes linkVersionsFrame() {
    FrameEncoder encoder;
    frames::linkVersions(encoder);
    return {encoder.encoded().begin(), encoder.encoded().end()};
}

class LinkConcurrencyTest : public LinkFixture {};

// A pairing command from a client and a direct send (as the bundle's command thread makes)
// racing on one link: each must get its own reply every time, and no frame may reach the
// adapter damaged by another.
TEST_F(LinkConcurrencyTest, ConcurrentSendersNeverTakeEachOthersReplies) {
    start();
    knownStatus();
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
    const auto frame = linkVersionsFrame();
    for (int i = 0; i < kRounds; ++i) {
        const auto reply = handler_->sendWithRetry(frame);
        if (!reply || !matchesHeader(reply->message(), kLinkVersionsReply)) {
            ++senderFailures;
        }
    }
    client.join();
    EXPECT_EQ(clientFailures, 0);
    EXPECT_EQ(senderFailures, 0);
    EXPECT_EQ(emulator_->state().framesDiscarded, 0U);
}

// Handlers on one port, one after the other, each torn down while a client request and status
// messages are in flight. Sanitizer builds check that no thread outlives its handler.
TEST_F(LinkConcurrencyTest, HandlersComeAndGoWhileTrafficFlows) {
    start();
    knownStatus();
    ASSERT_EQ(commandJson("link1PairingConnect")["result"], "ok");
    ASSERT_TRUE(pairing_.waitFor(true));
    for (int round = 0; round < 3; ++round) {
        // The handler may go before it answers: the client gives up soon.
        std::thread client([this] { command("statusUpdate", json::object(), 500ms); });
        handler_.reset();
        client.join();
        auto info = rig_->linkInfo();
        info.isPairingDone = true;
        info.linkConnectionType = LinkConnectionType::rj45;
        // Same link id, same names on the bus: the handler must be able to bind them again.
        handler_ = std::make_unique<LinkHandler>(
            info, [this](bool p) { pairing_.record(p); }, fastTimings());
        EXPECT_TRUE(handler_->isPaired());
        EXPECT_TRUE(nextStatus().has_value());
    }
}

}  // namespace
}  // namespace kinetra::link::test
