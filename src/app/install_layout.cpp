#include "app/install_layout.hpp"

#include <filesystem>

#include "platform/process.hpp"

namespace kinetra::app {

bool enterInstallLayout() {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const char* folder : {"../cfg", "../www", "../res", "../firmware"}) {
        if (fs::is_directory(folder, error)) {
            return false;
        }
    }
    fs::current_path(platform::executableDirectory(), error);
    return !error;
}

}  // namespace kinetra::app
