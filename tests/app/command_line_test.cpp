#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kinetra::app {
namespace {

// Runs `read` on the command line kinetra-server `args`.
template <typename Read>
auto commandLine(Read read, const std::vector<const char*>& args) {
    std::vector<const char*> argv{"kinetra-server"};
    argv.insert(argv.end(), args.begin(), args.end());
    return read(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, OpensTheWebApplicationOnlyForTheExactFirstArgument) {
    EXPECT_TRUE(commandLine(wantsOpenWeb, {"--open-web", "anything"}));
    // Vectors, not initializer lists: a list's array would end with the table's own line.
    for (const auto& args : std::vector<std::vector<const char*>>{
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
