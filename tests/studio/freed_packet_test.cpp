// The FreeD D1 encoder against packets computed by hand, and the camera a status puts in them.
#include <gtest/gtest.h>

#include "studio/freed_packet.hpp"
#include "studio/link_table.hpp"

namespace kinetra::studio {
namespace {

struct PacketCase {
    const char* what;
    CameraPose pose;
    FreedPacket bytes;
};

const PacketCase kPackets[] = {
    {"worked example: pan -90, tilt 12.5, slide 500 mm, focus 1000",
     {1, -90, 12.5, 0, 500, 0, 0, 0, 1000},
     {0xD1, 0x01, 0xD3, 0x00, 0x00, 0x06, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7D, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0xED}},
    {"small negative angles and a negative fractional position",
     {7, -0.5, -180, 0, -250.25, 0, 0, 0, 0},
     {0xD1, 0x07, 0xFF, 0xC0, 0x00, 0xA6, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xC1, 0x70, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD3}},
    {"24-bit limits: angles at the edge, positions and counts saturate",
     {255, 255.99997, -256, 0, 200000, -200000, 0, 0x1000000, -5},
     {0xD1, 0xFF, 0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x80,
      0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x79}},
};

TEST(FreedPacket, EncodesHandComputedPacketsByteForByte) {
    for (const auto& c : kPackets) {
        EXPECT_EQ(encodeFreedD1(c.pose), c.bytes) << c.what;
        unsigned sum = 0;
        for (const auto byte : c.bytes) {
            sum += byte;
        }
        EXPECT_EQ(sum % 256, 0x40U) << c.what << ": the whole packet sums to 0x40";
    }
}

TEST(FreedPacket, AnglesBeyondTheFieldTurnByWholeTurnsAndNonNumbersAreZero) {
    const auto pan = [](double degrees) {
        const auto packet = encodeFreedD1({1, degrees});
        return std::array{packet[2], packet[3], packet[4]};
    };
    EXPECT_EQ(pan(300), pan(-60));
    EXPECT_EQ(pan(-300), pan(60));
    EXPECT_EQ(pan(720), pan(0));
    EXPECT_EQ(pan(200), (std::array<std::uint8_t, 3>{0x64, 0x00, 0x00}));  // in range: kept
    EXPECT_EQ(pan(std::numeric_limits<double>::quiet_NaN()), pan(0));
}

TEST(FreedPacket, TheCameraOfAStatusIsTheHeadOrElseTheJibWithTheSlideInMillimetres) {
    const json head = json::parse(
        R"({"readings":{"headPan":-90,"headTilt":12.5,"slide":0.5,"focus":1000,"jibPan":33}})");
    EXPECT_EQ(encodeFreedD1(poseFromStatus(head, 1)), kPackets[0].bytes);

    const auto crane = poseFromStatus(json::parse(R"({"readings":{"jibPan":20,"jibTilt":-5}})"), 2);
    EXPECT_EQ(crane.panDegrees, 20);
    EXPECT_EQ(crane.tiltDegrees, -5);
    EXPECT_EQ(crane.xMillimetres, 0);

    const auto nothing = poseFromStatus(json::parse(R"({"readings":null})"), 3);
    EXPECT_EQ(encodeFreedD1(nothing), encodeFreedD1({3}));
}

}  // namespace
}  // namespace kinetra::studio
