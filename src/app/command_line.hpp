// The command line: "--open-web" counts only as the first argument; "--simulate" anywhere.
#pragma once

#include <optional>
#include <string_view>

namespace kinetra::app {

/// True when the first argument is exactly "--open-web".
inline bool wantsOpenWeb(int argc, const char* const* argv) {
    return argc >= 2 && argv[1] != nullptr && std::string_view(argv[1]) == "--open-web";
}

/// The emulated link's devices when an argument asks for one: "--simulate" gives an empty text
/// (the default devices), "--simulate=DEVICES" the device list. Nothing without either.
inline std::optional<std::string_view> simulationArgument(int argc, const char* const* argv) {
    constexpr std::string_view kOption = "--simulate";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i] != nullptr ? argv[i] : "";
        if (argument == kOption) {
            return std::string_view();
        }
        if (argument.starts_with(kOption) && argument.substr(kOption.size()).starts_with('=')) {
            return argument.substr(kOption.size() + 1);
        }
    }
    return std::nullopt;
}

}  // namespace kinetra::app
