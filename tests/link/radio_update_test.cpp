// The radio firmware update against a scripted radio: the frames of the update procedure in
// order, the chunks' bytes, and how each silence ends the update.
#include "link/radio_update.hpp"

#include <gtest/gtest.h>

#include "link/radio_image.hpp"
#include "scripted_session.hpp"

namespace kinetra::link {
namespace {

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
    for (const auto& sent : session.sent) {
        const auto command = radioCommandOf(sent);
        chunks = command == "chunk" ? chunks + 1 : 0;
        if (chunks > 1) {
            out.erase(out.rfind(' '));  // the run so far, counted again below
        }
        out += " " + (chunks > 0 ? "chunk*" + std::to_string(chunks) : command);
    }
    return out.substr(1);
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

TEST(RadioUpdate, SendsTheImageRestartsAfterAnUnansweredChunkAndFailsOnAnyOtherSilence) {
    const auto image = radioFirmwareImage();
    core::Bytes padded(image.begin(), image.end());
    padded.resize(819 * 1000, 0xFF);
    const struct {
        const char* name;
        const char* silentAt;
        int stopDuringSleep;
        const char* sequence;
        const char* status;
        const char* log;  // the lines joined by " | "
    } rows[] = {
        {"nothing", "", -1, "reset begin chunk*819 end reset", "finished",
         "info: Update has finished"},
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
        EXPECT_EQ(fmt::format("{}", fmt::join(log.lines(), " | ")), row.log);
        // Each chunk carries the next 1000 bytes of the image from the last begin on, the last
        // one padded with 0xFF.
        std::size_t next = 0;
        for (const auto& sent : session.sent) {
            next = radioCommandOf(sent) == "begin" ? 0 : next;
            if (radioCommandOf(sent) == "chunk") {
                const auto part = core::ByteView(padded).subspan(next * 1000, 1000);
                ASSERT_EQ(test::framePayload(sent.bytes), "11 03 " + test::hex(part)) << next;
                ++next;
            }
        }
    }
    EXPECT_EQ(image.size(), 818832u);  // 818 whole chunks and one of 832 bytes
}

}  // namespace
}  // namespace kinetra::link
