// The adapter's side of the wire for the emulated adapter: host commands read back from their
// payloads with their argument sizes checked, and the payloads an adapter sends up.
#include "link/adapter_side.hpp"

#include <gtest/gtest.h>

#include "link_test_support.hpp"

namespace kinetra::link {
namespace {

using core::Bytes;
using test::bytes;
using test::hex;

// The command in `payload` as "command[ radio command]: argument", or "refused".
std::string read(std::string_view payload) {
    const Bytes data = bytes(payload);  // the command points into it
    const auto command = readHostCommand(data);
    if (!command) {
        return "refused";
    }
    const auto radio =
        command->radio ? fmt::format(" {:02X}", fmt::underlying(*command->radio)) : "";
    return fmt::format("{:02X}{}: {}", fmt::underlying(command->command), radio,
                       hex(command->argument));
}

// The payloads the host's builders frame (see the adapter command tests) read back, and
// payloads whose arguments do not have the size their command takes refused.
TEST(HostCommand, ReadsBackEachCommandWithTheArgumentSizeItTakes) {
    EXPECT_EQ(read("1C"), "1C: ");
    EXPECT_EQ(read("1A 02"), "1A: 02");
    EXPECT_EQ(read("18 02 E6 00 E8"), "18: 02 E6 00 E8");
    EXPECT_EQ(read("11 0A 04 02 E6 00 E8"), "11 0A: 02 E6 00 E8");
    EXPECT_EQ(read("11 07"), "11 07: ");
    EXPECT_EQ(read("11 08 01 02 03 04 05 06"), "11 08: 01 02 03 04 05 06");
    EXPECT_EQ(read("11 09 01 03 01 02 03 04 05 06"), "11 09: 01 03 01 02 03 04 05 06");
    Bytes chunk = bytes("11 03");
    chunk.resize(2 + kRadioChunkSize, 0xDB);
    EXPECT_EQ(readHostCommand(chunk)->argument.size(), kRadioChunkSize);
    chunk.pop_back();
    EXPECT_FALSE(readHostCommand(chunk));
    Bytes fiveDevices = bytes("11 09 05 00");
    fiveDevices.resize(4 + 5 * kMacSize);
    EXPECT_FALSE(readHostCommand(fiveDevices));
    for (const char* bad :
         {"", "13", "1C 00", "1A", "1A 04", "11", "11 0B", "11 07 00", "11 08 01 02 03 04 05",
          "11 09 05 00", "11 09 01 00 01 02 03", "11 0A", "11 0A 03 02 E6"}) {
        EXPECT_EQ(read(bad), "refused") << bad;
    }
}

// Device messages go up as the host's routing and reply rules read them; scan entries as the
// host's scan decoders read them.
TEST(FromDevice, WritesThePayloadsTheHostReads) {
    const auto up = [](model::LinkConnectionType medium) {
        Bytes payload;
        return appendFromDevice(payload, medium, bytes("21 05"), 0x07) ? hex(payload) : "none";
    };
    EXPECT_EQ(up(model::LinkConnectionType::wireless), "01 02 21 05");
    EXPECT_EQ(up(model::LinkConnectionType::canbus), "02 07 1F 41 21 05");
    EXPECT_EQ(up(model::LinkConnectionType::rj45), "03 21 05");
    EXPECT_EQ(up(model::LinkConnectionType::none), "none");

    Bytes entries;
    appendWirelessScanEntry(entries,
                            {3, -60, {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}, 0x23, 0xB5, 26, 0x1234});
    appendCanScanEntry(entries, {8, 0, 73});
    EXPECT_EQ(hex(entries), "03 C4 0A 1B 2C 3D 4E 5F 23 B5 1A 00 00 00 00 00 00 00 12 34 08 00 49");
}

}  // namespace
}  // namespace kinetra::link
