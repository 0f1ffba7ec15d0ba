// portKind on Linux: a character device whose sysfs class is "tty", or a Unix98 pseudo-terminal
// (those have no sysfs entry). Consoles and the controlling terminal are terminals too, but no
// link module sits on them: writing there would reach the user's screen.
#include "platform/terminal_device.hpp"

#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kinetra::platform {
namespace {

constexpr unsigned kVirtualConsoleMajor = 4;  // tty0..tty63; ttyS* are minors 64 and up
constexpr unsigned kFirstSerialMinor = 64;
constexpr unsigned kTtyAuxMajor = 5;  // /dev/tty, /dev/console, /dev/ptmx
constexpr unsigned kFirstPtsMajor = 136;
constexpr unsigned kLastPtsMajor = 143;

bool inTtyClass(unsigned major, unsigned minor) {
    std::error_code error;
    const auto link = std::filesystem::read_symlink(
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/subsystem",
        error);
    return !error && link.filename() == "tty";
}

}  // namespace

PortKind portKind(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return PortKind::missing;
    }
    if (!S_ISCHR(status.st_mode)) {
        return PortKind::other;
    }
    const unsigned major = ::major(status.st_rdev);
    const unsigned minor = ::minor(status.st_rdev);
    if (major >= kFirstPtsMajor && major <= kLastPtsMajor) {
        return PortKind::terminal;
    }
    if (major == kTtyAuxMajor || (major == kVirtualConsoleMajor && minor < kFirstSerialMinor)) {
        return PortKind::other;
    }
    return inTtyClass(major, minor) ? PortKind::terminal : PortKind::other;
}

}  // namespace kinetra::platform
