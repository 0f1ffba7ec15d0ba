// The command line: only the first argument is looked at.
#pragma once

#include <string_view>

namespace kinetra::app {

/// True when the first argument is exactly "--open-web".
inline bool wantsOpenWeb(int argc, const char* const* argv) {
    return argc >= 2 && argv[1] != nullptr && std::string_view(argv[1]) == "--open-web";
}

}  // namespace kinetra::app
