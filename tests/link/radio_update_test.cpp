// The radio firmware update against a scripted radio: the start command, the frames of the
// update procedure in order, the chunks' bytes (and the image's cutting into them), and how
// each silence ends the update.
#include "link/radio_update.hpp"

#include <gtest/gtest.h>

#include "link/radio_image.hpp"
#include "scripted_session.hpp"

namespace kinetra::link {
namespace {

using namespace std::chrono_literals;
using test::ScriptedSession;
using test::Sent;

// The radio command of a frame sent for the update ("reset", "begin", "chunk", "end"), else
// the frame as the session describes it.
std::string radioCommandOf(const Sent& sent) {
    static const std::map<std::string, std::string> kNames{{"long 11 04 @01 00", "reset"},
                                                           {"long 11 01 @01 00", "begin"},
                                                           {"long 11 02 @01 00", "end"}};
    const auto text = sent.describe();
    if (text.starts_with("long 11 03 ") && text.ends_with(" @01 00")) {
        return "chunk";
    }
    const auto found = kNames.find(text);
    return found != kNames.end() ? found->second : text;
}

// What was written, runs of chunks counted: "reset begin chunk*819 end reset".
std::string radioSequence(const ScriptedSession& session) {
    std::string out;
    std::size_t chunks = 0;
    for (std::size_t i = 0; i < session.sent.size(); ++i) {
        const auto command = radioCommandOf(session.sent[i]);
        chunks = command == "chunk" ? chunks + 1 : 0;
        const bool lastOfRun =
            i + 1 == session.sent.size() || radioCommandOf(session.sent[i + 1]) != "chunk";
        if (command != "chunk") {
            out += (out.empty() ? "" : " ") + command;
        } else if (lastOfRun) {
            out += (out.empty() ? "" : " ") + command + "*" + std::to_string(chunks);
        }
    }
    return out;
}

// A radio that acknowledges every frame but those `silentAt` names: "chunk" every chunk,
// "chunk#3" only the fourth.
void radio(ScriptedSession& session, std::string silentAt) {
    session.responder = [silentAt, counts = std::map<std::string, int>{}](
                            const Sent& sent) mutable -> std::optional<core::Bytes> {
        const auto command = radioCommandOf(sent);
        const auto n = counts[command]++;
        if (silentAt == command || silentAt == command + "#" + std::to_string(n)) {
            return std::nullopt;
        }
        return test::bytes("01 00");
    };
}

TEST(RadioUpdate, StartTakesTheAdapterOffItsMediumAndRefusesASecondStart) {
    using model::LinkConnectionType;
    using model::LinkType;
    const struct {
        LinkType type;
        LinkConnectionType connection;
        const char* sends;
    } rows[] = {
        {LinkType::linkAdapter, LinkConnectionType::wireless,
         "adapter 11 0C @00 00 | adapter 1A 00 @00 00"},
        {LinkType::linkAdapter, LinkConnectionType::canbus, "retry 1A 00"},
        {LinkType::stopMotionModule, LinkConnectionType::none, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.connection));
        ScriptedSession session;
        session.type = row.type;
        session.connection = row.connection;
        session.flags().paired = true;
        EXPECT_EQ(radioUpdateStatusReply(session), R"({"result":"ok","status":"none"})");

        const auto start = beginRadioUpdate(session);
        EXPECT_EQ(start.reply, R"({"result":"ok"})");
        EXPECT_TRUE(start.startThread);
        EXPECT_EQ(session.described(), row.sends);
        EXPECT_EQ(session.connection, LinkConnectionType::none);
        EXPECT_EQ(session.unpairs, 1);
        EXPECT_TRUE(session.flags().pairingBlocked);
        EXPECT_TRUE(session.flags().radioUpdateRunning);
        EXPECT_EQ(radioUpdateStatusReply(session), R"({"result":"ok","status":"running"})");

        const auto again = beginRadioUpdate(session);
        EXPECT_EQ(again.reply, R"({"result":"ok","status":"running"})");
        EXPECT_FALSE(again.startThread);
        EXPECT_EQ(session.described(), row.sends);
        EXPECT_EQ(session.unpairs, 1);
    }
}

TEST(RadioUpdate, SendsEveryChunkOnceInOrderWithTheLastPaddedThenFinishes) {
    const auto image = radioFirmwareImage();
    ScriptedSession session;
    session.connection = model::LinkConnectionType::rj45;
    session.flags().radioUpdateRunning = true;
    radio(session, "");
    const test::LogCapture log;

    runRadioUpdate(session, image);

    ASSERT_EQ(radioSequence(session), "reset begin chunk*819 end reset");
    for (std::size_t i = 0; i < 819; ++i) {
        const auto payload = test::bytes(test::framePayload(session.sent[2 + i].bytes));
        ASSERT_EQ(payload.size(), 1002u) << i;
        EXPECT_EQ(payload[0], 0x11);
        EXPECT_EQ(payload[1], 0x03);
        const auto part =
            image.subspan(i * 1000, std::min<std::size_t>(1000, image.size() - i * 1000));
        ASSERT_TRUE(std::equal(part.begin(), part.end(), payload.begin() + 2)) << "chunk " << i;
        if (i == 818) {
            EXPECT_EQ(part.size(), 832u);
            EXPECT_TRUE(std::all_of(payload.begin() + 2 + 832, payload.end(),
                                    [](std::uint8_t b) { return b == 0xFF; }));
        }
    }
    EXPECT_EQ(session.connection, model::LinkConnectionType::none);
    EXPECT_EQ(session.sleeps, (std::vector<std::chrono::milliseconds>{5s, 5s}));
    EXPECT_EQ(radioUpdateStatusReply(session), R"({"result":"ok","status":"finished"})");
    EXPECT_TRUE(session.flags().statusKnown);
    EXPECT_FALSE(session.flags().radioUpdateRunning);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info: Update has finished"});
}

TEST(RadioUpdate, RestartsAfterAnUnansweredChunkAndEndsWithErrorOnAnyOtherSilence) {
    const auto image = radioFirmwareImage();
    const struct {
        const char* name;
        const char* silentAt;
        int stopDuringSleep;
        const char* sequence;
        const char* status;
        const char* log;  // the lines joined by " | "
    } rows[] = {
        {"reset", "reset", -1, "reset", "error", "error: Could not reset to ESP"},
        // One chunk unanswered: the attempt starts again from the reset.
        {"a chunk once", "chunk#3", -1, "reset begin chunk*4 reset begin chunk*819 end reset",
         "finished", "error: Could not send to part of fw | info: Update has finished"},
        {"a chunk in every attempt", "chunk", -1,
         "reset begin chunk*1 reset begin chunk*1 reset begin chunk*1", "error",
         "error: Could not send to part of fw | error: Could not send to part of fw | "
         "error: Could not send to part of fw"},
        // Without an answer to begin the radio gets no image but is still closed and reset;
        // it keeps its old firmware, so the update did not finish.
        {"begin", "begin", -1, "reset begin end reset", "error",
         "error: Could not begin the update"},
        {"end", "end", -1, "reset begin chunk*819 end", "error",
         "error: Could not finish the update"},
        {"final reset", "reset#1", -1, "reset begin chunk*819 end reset", "error",
         "error: Could not reset to ESP"},
        {"stopping during the first sleep", "", 0, "reset", "error",
         "warning: Radio firmware update stopped: the link is closing"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedSession session;
        session.flags().radioUpdateRunning = true;
        session.flags().radioUpdateStatus = RadioUpdateStatus::running;
        session.stopDuringSleep = row.stopDuringSleep;
        radio(session, row.silentAt);
        const test::LogCapture log;

        runRadioUpdate(session, image);

        EXPECT_EQ(radioSequence(session), row.sequence);
        EXPECT_EQ(radioUpdateStatusReply(session),
                  std::string(R"({"result":"ok","status":")") + row.status + "\"}");
        EXPECT_TRUE(session.flags().statusKnown);
        EXPECT_FALSE(session.flags().radioUpdateRunning);
        std::string lines;
        for (const auto& line : log.lines()) {
            lines += (lines.empty() ? "" : " | ") + line;
        }
        EXPECT_EQ(lines, row.log);
    }
}

TEST(RadioImageChunks, PadsOnlyAShortLastChunk) {
    const core::Bytes exact(2000, 0x11);
    EXPECT_EQ(RadioImageChunks(exact).count(), 2u);
    EXPECT_EQ(RadioImageChunks(exact).chunk(1).data(), exact.data() + 1000);
    const core::Bytes one{0x42};
    const RadioImageChunks single(one);
    ASSERT_EQ(single.count(), 1u);
    EXPECT_EQ(single.chunk(0)[0], 0x42);
    EXPECT_EQ(std::count(single.chunk(0).begin(), single.chunk(0).end(), 0xFF), 999);
    EXPECT_EQ(RadioImageChunks(core::Bytes{}).count(), 0u);
}

}  // namespace
}  // namespace kinetra::link
