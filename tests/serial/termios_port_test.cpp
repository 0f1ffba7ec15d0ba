// SerialPort over a pseudo-terminal: the test holds the master side and plays the link module.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "serial/serial_port.hpp"
#include "serial/termios_port.hpp"

namespace kinetra::serial {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kBound = 5s;  // generous: the machine is shared

class PseudoTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        termios raw{};
        ::tcgetattr(master_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master_, TCSANOW, &raw);
        path_ = ::ptsname(master_);
        port_ = openSerialPort(path_);
        ASSERT_NE(port_, nullptr);
        ASSERT_TRUE(port_->configure({}));
    }
    void TearDown() override { closeMaster(); }

    void closeMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }
    void sendFromModule(core::ByteView bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the port wrote, once `count` bytes came or the bound passed.
    core::Bytes receiveOnModule(std::size_t count) {
        core::Bytes got;
        const auto deadline = Clock::now() + kBound;
        while (got.size() < count && Clock::now() < deadline) {
            pollfd item{master_, POLLIN, 0};
            if (::poll(&item, 1, 100) == 1) {
                std::array<std::uint8_t, 4096> chunk{};
                const auto n =
                    ::read(master_, chunk.data(), std::min(chunk.size(), count - got.size()));
                if (n <= 0) {
                    break;
                }
                got.insert(got.end(), chunk.begin(), chunk.begin() + n);
            }
        }
        return got;
    }
    // Reads until `count` bytes came, each read bounded.
    core::Bytes readFromPort(std::size_t count) {
        core::Bytes got;
        std::array<std::uint8_t, 32> buffer{};
        const auto deadline = Clock::now() + kBound;
        while (got.size() < count && Clock::now() < deadline) {
            const auto result = port_->read(buffer, 100ms);
            EXPECT_LE(result.count, buffer.size());
            if (result.status == ReadStatus::data) {
                got.insert(got.end(), buffer.begin(), buffer.begin() + result.count);
            } else if (result.status != ReadStatus::timeout) {
                break;
            }
        }
        return got;
    }
    termios lineSettings() const {
        termios line{};
        ::tcgetattr(master_, &line);  // a master reports its slave's settings
        return line;
    }

    int master_ = -1;
    std::string path_;
    std::unique_ptr<SerialPort> port_;
};

// One line through its life: the settings it can apply, any byte both ways, a read without
// deadline and a write the module does not take, and the module going away.
TEST_F(PseudoTerminalTest, CarriesAnyByteWithTheSettingsItCanApplyAndEndsWhenTheModuleGoes) {
    EXPECT_NE(dynamic_cast<TermiosPort*>(port_.get()), nullptr);
    EXPECT_EQ(port_->name(), path_);
    auto line = lineSettings();
    EXPECT_EQ(::cfgetospeed(&line), B115200);
    EXPECT_EQ(line.c_cflag & (CSIZE | CSTOPB | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);

    ASSERT_TRUE(port_->configure({.baudrate = 57600, .bitCount = 8, .stopBits = 2}));
    line = lineSettings();
    EXPECT_EQ(::cfgetispeed(&line), B57600);
    EXPECT_EQ(line.c_cflag & (CSIZE | CSTOPB | PARENB), static_cast<tcflag_t>(CS8 | CSTOPB));
    ASSERT_TRUE(port_->setBaudrate(kTeardownBaudrate));
    line = lineSettings();
    EXPECT_EQ(::cfgetospeed(&line), B19200);
    EXPECT_EQ(line.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));  // the rest stays

    // Settings it cannot apply are refused and leave the line as it was.
    EXPECT_FALSE(port_->configure({.baudrate = 12345}));
    EXPECT_FALSE(port_->configure({.bitCount = 9}));
    EXPECT_FALSE(port_->configure({.stopBits = 3}));
    EXPECT_FALSE(port_->setBaudrate(0));
    line = lineSettings();
    EXPECT_EQ(::cfgetospeed(&line), B19200);
    // Control and line-ending bytes pass untouched both ways: the frames are binary.
    core::Bytes all(256);
    std::iota(all.begin(), all.end(), std::uint8_t{0});
    EXPECT_EQ(port_->write(all, 500ms), all.size());
    EXPECT_EQ(receiveOnModule(all.size()), all);
    sendFromModule(all);
    EXPECT_EQ(readFromPort(all.size()), all);

    // The link's reader waits without a deadline: it must sleep, not spin, until its stop signal.
    platform::StopSignal stop;
    std::atomic<long long> cpuMicroseconds{-1};
    std::jthread reader([&] {
        std::array<std::uint8_t, 32> buffer{};
        timespec before{};
        timespec after{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
        const auto result = port_->read(buffer, Milliseconds(-1), &stop);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
        EXPECT_EQ(result.status, ReadStatus::stopped);
        cpuMicroseconds =
            (after.tv_sec - before.tv_sec) * 1000000LL + (after.tv_nsec - before.tv_nsec) / 1000;
    });
    std::this_thread::sleep_for(300ms);  // the time a spinning read would burn
    stop.set();
    reader.join();
    EXPECT_GE(cpuMicroseconds.load(), 0);
    EXPECT_LT(cpuMicroseconds.load(), 30000) << "the read spun instead of sleeping";

    // A module that takes nothing leaves the write short at its bound instead of blocking.
    const core::Bytes big(1 << 20, 0x55);
    auto start = Clock::now();
    EXPECT_LT(port_->write(big, 100ms), big.size());
    EXPECT_LT(Clock::now() - start, 100ms + kBound);

    // When the far side closes, a read reports the line closed at once and a write takes nothing.
    closeMaster();
    std::array<std::uint8_t, 32> buffer{};
    start = Clock::now();
    EXPECT_EQ(port_->read(buffer, 60s).status, ReadStatus::closed);
    EXPECT_LT(Clock::now() - start, kBound);
    EXPECT_LT(port_->write(std::array<std::uint8_t, 1>{1}, 50ms), 1u);
}

// Nothing opens what is no terminal; the listing names ports and leaves pseudo-terminals out.
TEST_F(PseudoTerminalTest, OnlyTerminalsOpenAndTheListingNamesPortsButNoPseudoTerminal) {
    EXPECT_EQ(openSerialPort("/nonexistent/ttyKINETRA0"), nullptr);
    EXPECT_EQ(openSerialPort("/dev/null"), nullptr);  // a device, but no terminal
    const auto file = std::filesystem::temp_directory_path() / "kinetra_serial_plain_file";
    std::ofstream(file) << "not a port";
    EXPECT_EQ(openSerialPort(file.string()), nullptr);
    std::filesystem::remove(file);
    for (const auto& listing : listSerialPorts()) {
        EXPECT_FALSE(listing.name.empty());
        EXPECT_NE(listing.name, path_);
        EXPECT_EQ(listing.usbVendorId.has_value(), listing.usbProductId.has_value());
    }
}

}  // namespace
}  // namespace kinetra::serial
