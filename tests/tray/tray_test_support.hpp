// Test helpers for the tray: a launcher that records command lines, a tray that only counts
// renders, and a pseudo-terminal to type into the console tray.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/wait.hpp"
#include "tray/tray_entry.hpp"
#include "tray/tray_menu.hpp"

namespace kinetra::tray {

using namespace std::chrono_literals;

/// Records every command line a menu action runs (on the tray's thread, for the console tray).
class RecordingLauncher {
public:
    Launcher launcher() {
        return [this](const CommandLine& commandLine) {
            std::lock_guard lock(mutex_);
            lines_.push_back(commandLine);
        };
    }
    std::vector<CommandLine> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool waitForCount(std::size_t count) {
        return testing::waitUntil([&] { return lines().size() >= count; });
    }

private:
    mutable std::mutex mutex_;  // guards lines_
    std::vector<CommandLine> lines_;
};

class CountingTray : public BaseTray {
public:
    CountingTray() : BaseTray("kin_tray", "../res/tray_icon.ico") {}
    void run() override {}
    void exit() override {}
    void update() override { ++updates; }
    int updates = 0;
};

/// A pseudo-terminal: the test types on the master side, the tray reads the slave side.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            (slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        termios settings{};
        ::tcgetattr(slave_, &settings);
        // The output holds only the tray's text, with its own line ends.
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(slave_, TCSANOW, &settings);
    }
    ~PseudoTerminal() {
        ::close(slave_);
        ::close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int slave() const { return slave_; }

    void type(const std::string& text) const {
        if (::write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("typing failed");
        }
    }

    /// Reads the tray's output until it holds `text` (then drops everything up to its end);
    /// false when it did not come within `bound`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds bound = 5s) {
        return testing::waitUntil(
            [&] {
                char buffer[512];
                for (ssize_t count; (count = ::read(master_, buffer, sizeof buffer)) > 0;) {
                    output_.append(buffer, static_cast<std::size_t>(count));
                }
                const auto found = output_.find(text);
                if (found != std::string::npos) {
                    output_.erase(0, found + text.size());
                }
                return found != std::string::npos;
            },
            bound);
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string output_;  // read but not yet matched
};

}  // namespace kinetra::tray
