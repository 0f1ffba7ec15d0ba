// kinetra-sim's command line: devices, versions, faults, server addresses, refusals and help.
#include "sim/options.hpp"

#include <gtest/gtest.h>

namespace kinetra::sim {
namespace {

using namespace std::chrono_literals;
using Arguments = std::vector<std::string_view>;

TEST(ProgramOptions, DevicesVersionsAndFaultsFromTheCommandLine) {
    const auto parsed = parseOptions(
        Arguments{"--device", "swivelMax,firmware=94,mac=01-02-03-04-05-06", "--device",
                  "rollerBase,group=0x10,rssi=-70,setup=dollyOnly", "--radio-version", "0",
                  "--noise", "--pair-error", "connectionProblem", "--keypose-slots", "3",
                  "--drop-every", "3", "--pairing-ms", "250"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& config = parsed.options->config;
    ASSERT_EQ(config.devices.size(), 2u);
    const auto& d = config.devices;
    EXPECT_EQ(std::tuple(d[0].model, d[0].firmwareVersion, d[0].mac),
              std::tuple(model::DeviceModel::swivelMax, 94, link::Mac{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(std::tuple(d[1].groupId, d[1].rssi, d[1].setup),
              std::tuple(0x10, -70, model::SetupKind::dollyOnly));
    EXPECT_EQ(std::tuple(config.radioVersion, config.keyposeSlots, config.timings.pairingTime),
              std::tuple(0, 3, 250ms));
    // The flaky-link switches (run end to end in sim_program_test): a flag without a value
    // among options with one.
    const auto& faults = parsed.options->faults;
    EXPECT_EQ(std::tuple(faults.wirelessPairError, faults.noise, faults.dropEveryNthReply),
              std::tuple(link::WirelessPairError::connectionProblem, true, 3u));
    // The link type chooses the defaults the other options change, whatever their order.
    const auto module =
        parseOptions(Arguments{"--link-id", "M1", "--link-type", "stopMotionModule"});
    ASSERT_TRUE(module.options);
    EXPECT_EQ(module.options->config.linkType, model::LinkType::stopMotionModule);
    EXPECT_EQ(module.options->config.linkID, "M1");
}

TEST(ProgramOptions, ServerAddressesDeviceListsRefusalsAndHelp) {
    const auto server = parseOptions(Arguments{"--server", "http://localhost:32222/"});
    ASSERT_TRUE(server.options && server.options->server) << server.error;
    EXPECT_EQ(server.options->server->host, "127.0.0.1");
    EXPECT_EQ(server.options->server->port, 32222);
    EXPECT_EQ(parseServerAddress("10.0.0.7:8080")->host, "10.0.0.7");
    for (const auto* bad : {"http://127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", ":80", "x:y"}) {
        EXPECT_FALSE(parseServerAddress(bad)) << bad;
    }

    std::string error;
    const auto devices = parseDeviceList("turretAlpha2;glideTrack,firmware=65", error);
    ASSERT_TRUE(devices) << error;
    ASSERT_EQ(devices->size(), 2u);
    EXPECT_EQ((*devices)[1].model, model::DeviceModel::glideTrack);
    EXPECT_EQ((*devices)[1].firmwareVersion, 65);
    EXPECT_NE((*devices)[0].mac, (*devices)[1].mac);  // pairing finds devices by MAC
    EXPECT_FALSE(parseDeviceList("turretAlpha2;hoverboard", error));
    EXPECT_FALSE(parseDeviceList("", error));

    for (const auto& arguments : std::vector<Arguments>{{"--device", "hoverboard"},
                                                        {"--device", "turretAlpha,battery=101"},
                                                        {"--device", "turretAlpha,firmware"},
                                                        {"--controller-version", "256"},
                                                        {"--keypose-slots", "4"},
                                                        {"--radio-version"},
                                                        {"stray"},
                                                        {"--verbose", "1"},
                                                        {"--drop-every", "0"},
                                                        {"--reply-delay-ms", "60001"},
                                                        {"--noise", "yes"}}) {
        const auto parsed = parseOptions(arguments);
        EXPECT_FALSE(parsed.options) << arguments.front();
        EXPECT_FALSE(parsed.error.empty());
    }
    // Every option is named in --help.
    EXPECT_TRUE(parseOptions(Arguments{"--help"}).options->help);
    for (const auto* option :
         {"--link-type", "--link-id", "--controller-version", "--radio-version", "--device",
          "--keypose-slots", "--pairing-ms", "--pair-error", "--canbus-pair-error",
          "--reply-delay-ms", "--drop-every", "--noise", "--silent", "--server", "SIGUSR1"}) {
        EXPECT_NE(usage().find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace kinetra::sim
