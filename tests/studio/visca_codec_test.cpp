// The VISCA-over-IP codec and the mapping onto bundle commands: datagrams and messages written
// as the published format writes them, each read as what it says or refused; the replies'
// exact bytes; each message's bundle command and the inquiry answers from a status.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "studio/visca_codec.hpp"
#include "studio/visca_mapping.hpp"
#include "support/hex.hpp"

namespace kinetra::studio::visca {
namespace {

using kinetra::testing::bytes;
using kinetra::testing::hex;

// A request as one line of text, so that a table can say what each message must read as.
std::string describe(const Request& request) {
    return std::visit(
        [](const auto& r) -> std::string {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, PanTiltDrive>) {
                return fmt::format("drive {0} {1} at {2} {3}", r.panDirection, r.tiltDirection,
                                   r.panSpeed, r.tiltSpeed);
            } else if constexpr (std::is_same_v<R, PanTiltMove>) {
                return fmt::format("{0} {1} {2} at {3} {4}", r.relative ? "relative" : "absolute",
                                   r.pan, r.tilt, r.panSpeed, r.tiltSpeed);
            } else if constexpr (std::is_same_v<R, PanTiltHome>) {
                return "home";
            } else if constexpr (std::is_same_v<R, Memory>) {
                return fmt::format("memory {0} {1}", static_cast<int>(r.action), r.slot);
            } else if constexpr (std::is_same_v<R, FocusDrive>) {
                return fmt::format("focus {0} at {1}", r.direction,
                                   r.speed ? std::to_string(*r.speed) : "standard");
            } else if constexpr (std::is_same_v<R, Power>) {
                return r.on ? "power on" : "power off";
            } else if constexpr (std::is_same_v<R, NotExecutable>) {
                return "not executable";
            } else if constexpr (std::is_same_v<R, Inquiry>) {
                return fmt::format("inquiry {0}", static_cast<int>(r.kind));
            } else {
                return "syntax error";
            }
        },
        request);
}

TEST(ViscaCodec, ReadsEachMessageOrCallsItASyntaxError) {
    const std::pair<const char*, const char*> kCases[] = {
        {"81 01 06 01 0C 0A 02 03 FF", "drive 1 0 at 12 0"},    // right; tilt speed unused
        {"81 01 06 01 18 17 01 01 FF", "drive -1 1 at 24 23"},  // up-left, top speeds
        {"81 01 06 01 1F 1F 02 02 FF", "drive 1 -1 at 24 23"},  // beyond the top: the top
        {"81 01 06 01 00 00 03 03 FF", "drive 0 0 at 0 0"},     // stop
        {"81 01 06 01 00 05 02 03 FF", "syntax error"},         // moving at speed 0
        {"81 01 06 01 05 05 04 03 FF", "syntax error"},         // no such direction
        {"81 01 06 02 18 14 00 03 0E 08 0F 0F 0E 0C FF", "absolute 1000 -20 at 24 20"},
        {"81 01 06 03 01 01 0F 0F 0F 0F 00 00 00 01 FF", "relative -1 1 at 1 1"},
        {"81 01 06 02 18 14 00 13 0E 08 00 00 00 00 FF", "syntax error"},  // 13 is no nibble
        {"81 01 06 04 FF", "home"},
        {"81 01 04 3F 01 05 FF", "memory 1 5"},
        {"81 01 04 3F 02 00 FF", "memory 2 0"},
        {"81 01 04 3F 03 00 FF", "syntax error"},
        {"81 01 04 08 02 FF", "focus 1 at standard"},
        {"81 01 04 08 37 FF", "focus -1 at 7"},
        {"81 01 04 08 00 FF", "focus 0 at standard"},
        {"81 01 04 08 28 FF", "syntax error"},  // speed 8
        {"81 01 04 07 02 FF", "not executable"},
        {"81 01 04 00 02 FF", "power on"},
        {"81 09 06 12 FF", "inquiry 0"},
        {"81 09 00 02 FF", "inquiry 4"},
        // Not one message, not to a camera, not known, or the wrong length.
        {"81 01 06 04", "syntax error"},
        {"81 01 06 04 FF 81 01 06 04 FF", "syntax error"},
        {"81 01 06 02 18 14 00 03 0E 08 0F 0F 0E 0C 00 00 FF", "syntax error"},
        {"88 01 06 04 FF", "syntax error"},
        {"81 01 06 04 00 FF", "syntax error"},
        {"81 01 7E 01 0B 00 FF", "syntax error"},
        {"", "syntax error"},
    };
    for (const auto& [payload, expected] : kCases) {
        EXPECT_EQ(describe(readMessage(bytes(payload)).request), expected) << payload;
    }
    EXPECT_EQ(readMessage(bytes("82 01 06 04 FF")).address, 2);
}

TEST(ViscaCodec, ReadsTheHeaderAndRefusesWhatIsNoDatagramForACamera) {
    // hex, then the sequence read, whether it is framed, and whether it is RESET.
    const std::tuple<const char*, std::uint32_t, bool, bool> kCases[] = {
        {"01 00 00 05 00 00 00 07 81 01 06 04 FF", 7, true, false},
        {"02 00 00 01 00 00 00 00 01", 0, true, true},
        {"01 00 00 05 00 00", 0, false, false},                       // truncated header
        {"01 00 00 06 00 00 00 09 81 01 06 04 FF", 9, false, false},  // length 6 carrying 5
        {"01 00 00 04 00 00 00 09 81 01 06 04 FF", 9, false, false},  // length 4 carrying 5
        {"01 11 00 03 00 00 00 02 90 41 FF", 2, false, false},        // a reply
        {"02 00 00 02 00 00 00 04 0F 01", 4, false, false},           // control, not RESET
    };
    for (const auto& [datagram, sequence, framed, reset] : kCases) {
        const auto read = readDatagram(bytes(datagram));
        ASSERT_EQ(std::holds_alternative<Framed>(read), framed) << datagram;
        if (framed) {
            EXPECT_EQ(std::get<Framed>(read).header.sequence, sequence) << datagram;
            EXPECT_EQ(std::get<Framed>(read).reset, reset) << datagram;
        } else {
            EXPECT_EQ(std::get<Malformed>(read).sequence, sequence) << datagram;
        }
    }
}

// The camera tests check each reply's bytes; here, what they leave out.
TEST(ViscaCodec, RepliesCarryTheWholeSequenceNumberAndTheCameraAddress) {
    EXPECT_EQ(hex(completion(0xDEADBEEF, 1)), "01 11 00 03 DE AD BE EF 90 51 FF");
    EXPECT_EQ(hex(error(3, 2, 1, ErrorCode::canceled)), "01 11 00 04 00 00 00 03 A0 61 04 FF");
}

// A head on a slider, real time on all three, at pan 10, tilt -5, slide 0.25, slot 1 filled.
LinkView headOnSlider() {
    LinkView view;
    view.axes = {0x07, 0x07};
    view.readings[0] = 10.0;
    view.readings[1] = -5.0;
    view.readings[2] = 0.25;
    view.keyposeSlots = {false, true, false, false, false, false};
    return view;
}

LinkView craneArm() {
    LinkView view;
    view.axes = {0x60, 0x60};
    view.readings[5] = 0.0;
    view.readings[6] = 0.0;
    return view;
}

TEST(ViscaMapping, EachCommandBecomesItsBundleCommandOrIsNotExecutable) {
    const auto head = std::optional(headOnSlider());
    auto withFocus = head;
    withFocus->axes = {0x0F, 0x07};
    withFocus->readings[3] = 1200;
    auto focusRealTime = head;
    focusRealTime->axes = {0x0F, 0x0F};
    const auto crane = std::optional(craneArm());
    const auto move = [](bool relative, int pan, int tilt, int panSpeed, int tiltSpeed) {
        return PanTiltMove{relative, static_cast<std::uint8_t>(panSpeed),
                           static_cast<std::uint8_t>(tiltSpeed), static_cast<std::int16_t>(pan),
                           static_cast<std::int16_t>(tilt)};
    };
    const std::pair<Mapped, const char*> kCases[] = {
        // 10 degrees of pan at 90 a second is the slower axis: 0.112 s in whole milliseconds;
        // the slide holds where it is.
        {mapMove(move(false, 2000, 0, 0x18, 0x17), "L", head, 0.01),
         R"({"command":"realTimeMoveFixedDuration","duration":0.112,"headPan":20.0,"headTilt":0.0,"slide":0.25})"},
        {mapMove(move(true, -1000, 500, 0x0C, 0x17), "L", head, 0.01),
         R"({"command":"realTimeMoveFixedDuration","duration":0.223,"headPan":0.0,"headTilt":0.0,"slide":0.25})"},
        {mapMove(move(false, 32767, 0, 1, 1), "L", head, 0.01),  // longer than a move can be
         R"({"command":"realTimeMoveFixedDuration","duration":65.535,"headPan":327.67,"headTilt":0.0,"slide":0.25})"},
        {mapMove(move(false, 100, -100, 0x18, 0x17), "L", crane, 0.1),
         R"({"command":"realTimeMoveFixedDuration","craneMaxPan":10.0,"craneMaxTilt":-10.0,"duration":0.112})"},
        {mapMove(move(false, 0, 0, 1, 1), "L", focusRealTime, 0.01), nullptr},
        {mapDrive({1, 0, 0x0C, 0}, "L", head),
         R"({"command":"joystickMove","headPan":0.5,"headTilt":0.0})"},
        {mapDrive({-1, -1, 0x18, 0x17}, "L", crane),
         R"({"command":"joystickMove","craneMaxPan":-1.0,"craneMaxTilt":-1.0})"},
        {mapDrive({0, 0, 0, 0}, "L", head),
         R"({"command":"joystickMove","headPan":0.0,"headTilt":0.0})"},
        {mapDrive({1, 0, 1, 0}, "L", LinkView{{0x04, 0x04}, {}, "idle", {}, {}}), nullptr},
        {mapMemory({MemoryAction::set, 5}, "L", head),
         R"({"command":"keyposeStoreCurrentPose","index":5})"},
        {mapMemory({MemoryAction::recall, 1}, "L", head),
         R"({"acceleration":0.3,"command":"keyposeMoveFixedSpeed","index":1,"speed":0.5})"},
        {mapMemory({MemoryAction::recall, 2}, "L", head), nullptr},  // nothing stored there
        {mapMemory({MemoryAction::set, 6}, "L", head), nullptr},     // beyond the six slots
        {mapFocusStep(1, kStandardFocusSpeed, "L", withFocus),
         R"({"command":"focusManualMove","deltaEnc":100.0})"},
        {mapFocusStep(1, 3, "L", head), nullptr},          // no focus axis
        {mapFocusStep(1, 3, "L", std::nullopt), nullptr},  // not paired
    };
    for (const auto& [mapped, expected] : kCases) {
        if (expected == nullptr) {
            EXPECT_TRUE(std::holds_alternative<Refusal>(mapped));
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<Plan>(mapped)) << std::get<Refusal>(mapped).reason;
        EXPECT_EQ(std::get<Plan>(mapped).command.request.dump(), expected);
    }
}

TEST(ViscaMapping, InquiriesAnswerTheStatusInPositionUnits) {
    auto view = std::optional(headOnSlider());
    const auto answer = [](const std::variant<Bytes, Refusal>& data) {
        return std::holds_alternative<Bytes>(data) ? hex(std::get<Bytes>(data)) : "refused";
    };
    EXPECT_EQ(answer(panTiltPosition(view, 0.01)), "00 03 0E 08 0F 0E 00 0C");  // 1000, -500
    view->readings[0] = 400.0;                                                  // held at 32767
    view->readings[1] = -400.0;                                                 // and -32768
    EXPECT_EQ(answer(panTiltPosition(view, 0.01)), "07 0F 0F 0F 08 00 00 00");
    EXPECT_EQ(answer(panTiltPosition(craneArm(), 0.01)), "00 00 00 00 00 00 00 00");
    EXPECT_EQ(answer(focusPosition(view)), "refused");
    view->readings[3] = 70000.0;
    EXPECT_EQ(answer(focusPosition(view)), "0F 0F 0F 0F");
    EXPECT_EQ(answer(panTiltPosition(std::nullopt, 0.01)), "refused");  // not paired
}

}  // namespace
}  // namespace kinetra::studio::visca
