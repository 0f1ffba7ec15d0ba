#include "app/command_line.hpp"

#include <gtest/gtest.h>

namespace kinetra::app {
namespace {

bool openWeb(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"kinetra-server"};
    argv.insert(argv.end(), args);
    return wantsOpenWeb(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, OpensTheWebApplicationOnlyForTheExactFirstArgument) {
    EXPECT_TRUE(openWeb({"--open-web"}));
    EXPECT_TRUE(openWeb({"--open-web", "anything"}));
    EXPECT_FALSE(openWeb({}));
    EXPECT_FALSE(openWeb({"--Open-Web"}));
    EXPECT_FALSE(openWeb({"--open-web2"}));
    EXPECT_FALSE(openWeb({"--open-we"}));
    EXPECT_FALSE(openWeb({"-v", "--open-web"}));
}

std::optional<std::string_view> simulation(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"kinetra-server"};
    argv.insert(argv.end(), args);
    return simulationArgument(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, SimulatesWithDefaultOrGivenDevicesAnywhereOnTheLine) {
    EXPECT_EQ(simulation({"--open-web", "--simulate"}), std::string_view());
    EXPECT_EQ(simulation({"--simulate=turretAlpha2;glideTrack"}), "turretAlpha2;glideTrack");
    EXPECT_EQ(simulation({}), std::nullopt);
    EXPECT_EQ(simulation({"--simulated"}), std::nullopt);
    EXPECT_EQ(simulation({"-simulate"}), std::nullopt);
}

}  // namespace
}  // namespace kinetra::app
