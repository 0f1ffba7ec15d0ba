// The radio firmware update through the link service, against the emulated radio: started over
// the bus, refused a second time while it runs, and ended with an error by a stop in the middle.
// The procedure itself, to the last chunk and each silence, is the scripted radio tests' business.
#include "link/link_fixture.hpp"

namespace kinetra::link::test {
namespace {

constexpr std::size_t kChunks = 819;

json statusReply(const char* status) {
    return json{{"result", "ok"}, {"status", status}};
}

class LinkRadioUpdateTest : public LinkFixture {};

TEST_F(LinkRadioUpdateTest, RunsOnItsThreadUntilAStopEndsItWithError) {
    start();
    knownStatus();
    EXPECT_EQ(commandJson("linkRadioFirmwareUpdateStatus"), statusReply("none"));
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"), (json{{"result", "ok"}}));
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"), statusReply("running"));
    ASSERT_TRUE(emulator_->waitForState(
        [](const auto& s) { return s.radioUpdate.chunksAcknowledged >= 50; }, 30s));
    EXPECT_EQ(emulator_->state().radioUpdate.begun, 1U);
    handler_->stop();
    EXPECT_TRUE(kinetra::testing::waitUntil(
        [&] { return handler_->radioUpdateStatus() == RadioUpdateStatus::error; }, 5s));
    EXPECT_LT(emulator_->state().radioUpdate.chunksReceived, kChunks);
}

}  // namespace
}  // namespace kinetra::link::test
