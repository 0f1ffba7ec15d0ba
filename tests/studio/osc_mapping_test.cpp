// The OSC address table: each address with its type tags mapped to the bundle command it
// stands for, and the messages that must do nothing.
#include <gtest/gtest.h>

#include "studio/osc_mapping.hpp"

namespace kinetra::studio {
namespace {

// Axis sets as the status reports them: a head with a slider, a crane arm, a lens-only rig.
constexpr BundleAxes kHeadAndSlider{0x0F, 0x07};  // pan, tilt, slide, focus; real-time no focus
constexpr BundleAxes kCraneArm{0x60, 0x60};
constexpr BundleAxes kFocusRealTime{0x0B, 0x0B};

OscMessage message(std::string address, std::string tags, std::vector<double> values) {
    OscMessage m{std::move(address), {}};
    for (std::size_t i = 0; i < tags.size(); ++i) {
        m.arguments.push_back({tags[i], i < values.size() ? values[i] : 0});
    }
    return m;
}

struct MappingCase {
    OscMessage message;
    BundleAxes axes;
    const char* request;  // the command JSON, "abortAll", or null for "does nothing"
};

const MappingCase kCases[] = {
    {message("/kinetra/abort", "", {}), kHeadAndSlider, "abortAll"},
    {message("/kinetra/abort", "f", {1}), kHeadAndSlider, "abortAll"},  // a button press
    {message("/kinetra/L1/abort", "", {}), kHeadAndSlider, R"({"command":"motionAbort"})"},
    {message("/kinetra/L1/joystick", "fff", {0.5, -1, 0.25}), kHeadAndSlider,
     R"({"command":"joystickMove","headPan":0.5,"headTilt":-1.0,"slide":0.25})"},
    {message("/kinetra/L1/joystick", "iif", {1, 0, 0}), kHeadAndSlider,
     R"({"command":"joystickMove","headPan":1.0,"headTilt":0.0,"slide":0.0})"},
    {message("/kinetra/L1/joystick", "fff", {0, 0, 0}), kHeadAndSlider,
     R"({"command":"joystickMove","headPan":0.0,"headTilt":0.0,"slide":0.0})"},
    {message("/kinetra/L1/joystick", "fff", {0.5, -1, 0.25}), kCraneArm,
     R"({"command":"joystickMove","craneMaxPan":0.5,"craneMaxTilt":-1.0})"},
    {message("/kinetra/L1/keypose/store", "i", {2}), kHeadAndSlider,
     R"({"command":"keyposeStoreCurrentPose","index":2})"},
    {message("/kinetra/L1/keypose/store", "f", {2}), kHeadAndSlider,
     R"({"command":"keyposeStoreCurrentPose","index":2})"},
    {message("/kinetra/L1/keypose/go", "if", {3, 4.5}), kHeadAndSlider,
     R"({"acceleration":0.3,"command":"keyposeMoveFixedDuration","duration":4.5,"index":3})"},
    {message("/kinetra/L1/keypose/go", "iff", {0, 2, 0.8}), kHeadAndSlider,
     R"({"acceleration":0.8,"command":"keyposeMoveFixedDuration","duration":2.0,"index":0})"},
    {message("/kinetra/L1/move", "ffff", {2, 30, -10, 0.5}), kHeadAndSlider,
     R"({"command":"realTimeMoveFixedDuration","duration":2.0,"headPan":30.0,"headTilt":-10.0,"slide":0.5})"},
    {message("/kinetra/L1/move", "fiii", {1, 15, 5, 9}), kCraneArm,
     R"({"command":"realTimeMoveFixedDuration","craneMaxPan":15.0,"craneMaxTilt":5.0,"duration":1.0})"},
    // Nothing happens for these.
    {message("/kinetra/L1/spin", "", {}), kHeadAndSlider, nullptr},
    {message("/other/abort", "", {}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/joystick", "ff", {0.1, 0.1}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/joystick", "fsf", {0.1, 0, 0.1}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/joystick", "fff", {1.5, 0, 0}), kHeadAndSlider, nullptr},
    {message("/kinetra/L2/joystick", "fff", {0, 0.2, 0}), kHeadAndSlider, nullptr},  // unknown
    {message("/kinetra/L1/keypose/store", "i", {6}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/keypose/store", "f", {1.5}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/keypose/go", "if", {1, 0}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/keypose/go", "iff", {1, 2, 1.2}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/move", "ffff", {70, 0, 0, 0}), kHeadAndSlider, nullptr},
    {message("/kinetra/L1/move", "ffff", {1, 0, 0, 0}), kFocusRealTime, nullptr},
};

TEST(OscMapping, MapsEachAddressToItsCommandOrToNothing) {
    for (const auto& c : kCases) {
        const auto axesOf = [&](std::string_view linkId) -> std::optional<BundleAxes> {
            return linkId == "L1" ? std::optional(c.axes) : std::nullopt;
        };
        const auto action = mapOscMessage(c.message, axesOf);
        const std::string what = c.message.address + " with " +
                                 std::to_string(c.message.arguments.size()) + " argument(s)";
        if (c.request == nullptr) {
            ASSERT_TRUE(std::holds_alternative<std::string>(action)) << what;
            EXPECT_FALSE(std::get<std::string>(action).empty()) << what;
        } else if (std::string_view(c.request) == "abortAll") {
            EXPECT_TRUE(std::holds_alternative<AbortAll>(action)) << what;
        } else {
            ASSERT_TRUE(std::holds_alternative<BundleCommand>(action))
                << what << ": " << std::get<std::string>(action);
            const auto& command = std::get<BundleCommand>(action);
            EXPECT_EQ(command.linkId, "L1") << what;
            EXPECT_EQ(command.request.dump(), c.request) << what;
            // A stick is moving unless every axis it gives is zero.
            const bool nonZero =
                command.request.dump().find_first_of("123456789") != std::string::npos;
            EXPECT_EQ(command.joystick && command.moving, command.joystick && nonZero) << what;
        }
    }
}

}  // namespace
}  // namespace kinetra::studio
