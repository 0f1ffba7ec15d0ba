// The command line: "--open-web" counts only as the first argument; "--simulate" anywhere.
#pragma once

#include <string_view>

namespace kinetra::app {

/// True when the first argument is exactly "--open-web".
inline bool wantsOpenWeb(int argc, const char* const* argv) {
    return argc >= 2 && argv[1] != nullptr && std::string_view(argv[1]) == "--open-web";
}

/// True when any argument is exactly "--simulate": run with an emulated link adapter.
inline bool wantsSimulation(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::string_view(argv[i]) == "--simulate") {
            return true;
        }
    }
    return false;
}

}  // namespace kinetra::app
