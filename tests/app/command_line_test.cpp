#include "app/command_line.hpp"

#include <gtest/gtest.h>

namespace kinetra::app {
namespace {

// Runs `read` on the command line kinetra-server `args`.
template <typename Read>
auto commandLine(Read read, std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"kinetra-server"};
    argv.insert(argv.end(), args);
    return read(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, OpensTheWebApplicationOnlyForTheExactFirstArgument) {
    EXPECT_TRUE(commandLine(wantsOpenWeb, {"--open-web", "anything"}));
    for (const auto& args : std::vector<std::initializer_list<const char*>>{
             {}, {"--Open-Web"}, {"--open-web2"}, {"--open-we"}, {"-v", "--open-web"}}) {
        EXPECT_FALSE(commandLine(wantsOpenWeb, args)) << args.size();
    }
}

TEST(CommandLine, SimulatesWithDefaultOrGivenDevicesAnywhereOnTheLine) {
    EXPECT_EQ(commandLine(simulationArgument, {"--open-web", "--simulate"}), std::string_view());
    EXPECT_EQ(commandLine(simulationArgument, {"--simulate=turretAlpha2;glideTrack"}),
              "turretAlpha2;glideTrack");
    EXPECT_EQ(commandLine(simulationArgument, {"--simulated"}), std::nullopt);
    EXPECT_EQ(commandLine(simulationArgument, {"-simulate"}), std::nullopt);
}

}  // namespace
}  // namespace kinetra::app
