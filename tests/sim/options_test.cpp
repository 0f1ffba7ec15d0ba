// kinetra-sim's command line, and the program itself: its path on the first line, traffic in
// its log, an orderly end on SIGTERM.
#include "sim/options.hpp"

#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "test_host.hpp"

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;

ParsedOptions parse(std::initializer_list<std::string_view> arguments) {
    const std::vector<std::string_view> list(arguments);
    return parseOptions(list);
}

TEST(ProgramOptions, DevicesVersionsAndFaultsFromTheCommandLine) {
    const auto parsed =
        parse({"--device", "swivelMax,firmware=94,battery=40,mac=01-02-03-04-05-06", "--device",
               "rollerBase,group=0x10,rssi=-70,setup=dollyOnly", "--controller-version", "1",
               "--radio-version", "0", "--link-id", "BENCH", "--pair-error", "connectionProblem",
               "--keypose-slots", "3", "--pairing-ms", "250"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& config = parsed.options->config;
    ASSERT_EQ(config.devices.size(), 2u);
    EXPECT_EQ(config.devices[0].model, model::DeviceModel::swivelMax);
    EXPECT_EQ(config.devices[0].firmwareVersion, 94);
    EXPECT_EQ(config.devices[0].batteryPercent, 40);
    EXPECT_EQ(config.devices[0].mac, (link::Mac{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(config.devices[1].groupId, 0x10);
    EXPECT_EQ(config.devices[1].rssi, -70);
    EXPECT_EQ(config.devices[1].setup, model::SetupKind::dollyOnly);
    EXPECT_NE(config.devices[0].mac, config.devices[1].mac);
    EXPECT_EQ(config.controllerVersion, 1);
    EXPECT_EQ(config.radioVersion, 0);
    EXPECT_EQ(config.linkID, "BENCH");
    EXPECT_EQ(config.keyposeSlots, 3);
    EXPECT_EQ(config.timings.pairingTime, 250ms);
    EXPECT_TRUE(config.logTraffic);
    EXPECT_EQ(parsed.options->faults.wirelessPairError, link::WirelessPairError::connectionProblem);

    const auto module = parse({"--link-id", "M1", "--link-type", "stopMotionModule"});
    ASSERT_TRUE(module.options);
    EXPECT_EQ(module.options->config.linkType, model::LinkType::stopMotionModule);
    EXPECT_EQ(module.options->config.linkID, "M1");
    EXPECT_EQ(module.options->config.devices.size(), 1u);
}

TEST(ProgramOptions, RefusesWhatItCannotUse) {
    for (const auto& arguments :
         std::vector<std::vector<std::string_view>>{{"--device", "hoverboard"},
                                                    {"--device", "turretAlpha,battery=101"},
                                                    {"--device", "turretAlpha,firmware"},
                                                    {"--controller-version", "256"},
                                                    {"--link-type", "dongle"},
                                                    {"--keypose-slots", "4"},
                                                    {"--pair-error", "gremlins"},
                                                    {"--radio-version"},
                                                    {"stray"},
                                                    {"--verbose", "1"}}) {
        const auto parsed = parseOptions(arguments);
        EXPECT_FALSE(parsed.options) << arguments.front();
        EXPECT_FALSE(parsed.error.empty());
    }
    EXPECT_TRUE(parse({"--help"}).options->help);
}

TEST(KinetraSim, PrintsItsPathFirstLogsTrafficAndStopsOnSigterm) {
    ::kinetra::testing::ChildProcess sim({KINETRA_SIM_PATH, "--link-id", "T1"},
                                         std::filesystem::temp_directory_path().string());
    ASSERT_TRUE(sim.waitForOutput("/dev/", 10s)) << sim.output();
    const auto& output = sim.output();
    const auto path = output.substr(0, output.find('\n'));
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << output;
    {
        testing::TestHost host(path, model::LinkType::linkAdapter);
        EXPECT_TRUE(host.exchange(link::frames::linkVersions, link::kLinkVersionsReply));
    }
    EXPECT_TRUE(sim.waitForOutput("T1 received linkVersions", 10s)) << sim.output();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitForExit(10s), std::optional<int>(0)) << sim.output();
}

TEST(KinetraSim, HelpDocumentsTheOptions) {
    ::kinetra::testing::ChildProcess sim({KINETRA_SIM_PATH, "--help"},
                                         std::filesystem::temp_directory_path().string());
    EXPECT_EQ(sim.waitForExit(10s), std::optional<int>(0));
    for (const auto* option : {"--link-type", "--link-id", "--device", "--controller-version",
                               "--radio-version", "firmware=", "mac="}) {
        EXPECT_NE(sim.output().find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace kinetra::sim
