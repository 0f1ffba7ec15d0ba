// The radio firmware update through the link service, against the emulated radio: the whole
// image, and stop in the middle; the retries are the scripted radio tests' business.
#include "link/link_fixture.hpp"

namespace kinetra::link::test {
namespace {

using kinetra::testing::waitUntil;

constexpr std::size_t kChunks = 819;

json statusReply(const char* status) {
    return json{{"result", "ok"}, {"status", status}};
}

class LinkRadioUpdateTest : public LinkFixture {
protected:
    bool waitForUpdate(RadioUpdateStatus status, std::chrono::milliseconds timeout = 60s) {
        return waitUntil([&] { return handler_->radioUpdateStatus() == status; }, timeout);
    }
};

TEST_F(LinkRadioUpdateTest, LoadsTheWholeImageAndRefusesASecondStartMeanwhile) {
    start();
    knownStatus();
    EXPECT_EQ(commandJson("linkRadioFirmwareUpdateStatus"), statusReply("none"));
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"), (json{{"result", "ok"}}));
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"), statusReply("running"));
    ASSERT_TRUE(waitForUpdate(RadioUpdateStatus::finished));
    const auto radio = emulator_->state().radioUpdate;
    EXPECT_EQ(radio.chunksReceived, kChunks);
    EXPECT_EQ(radio.chunksAcknowledged, kChunks);
    EXPECT_EQ(radio.begun, 1U);
    EXPECT_EQ(radio.ended, 1U);
    EXPECT_EQ(radio.resets, 2U);  // before and after
    EXPECT_EQ(commandJson("linkRadioFirmwareUpdateStatus"), statusReply("finished"));

    // The link is left unpaired, and pairing is up to the client again.
    EXPECT_EQ(commandJson("status")["linkConnectionType"], "none");
}

TEST_F(LinkRadioUpdateTest, StopInTheMiddleEndsTheUpdateWithError) {
    start();
    knownStatus();
    EXPECT_EQ(commandJson("startLinkRadioFirmwareUpdate"), (json{{"result", "ok"}}));
    ASSERT_TRUE(emulator_->waitForState(
        [](const auto& s) { return s.radioUpdate.chunksReceived >= 50; }, 30s));
    handler_->stop();
    EXPECT_TRUE(waitForUpdate(RadioUpdateStatus::error, 5s));
    EXPECT_LT(emulator_->state().radioUpdate.chunksReceived, kChunks);
}

}  // namespace
}  // namespace kinetra::link::test
