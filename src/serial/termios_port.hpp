// A terminal device that libserialport will not open: the pseudo-terminals the emulator, socat
// and ser2net present. Same threads as any SerialPort: reader, senders, owner.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <termios.h>

#include "serial/serial_port.hpp"

namespace kinetra::serial {

/// The termios speed constant for `baudrate`; nothing for a rate the table does not hold.
std::optional<speed_t> termiosSpeed(int baudrate);

class TermiosPort final : public SerialPort {
public:
    /// Opens `name` for reading and writing without making it the controlling terminal; nullptr
    /// when it cannot be opened or is not a terminal device.
    static std::unique_ptr<TermiosPort> open(const std::string& name);
    /// Closes the descriptor.
    ~TermiosPort() override;

    bool configure(const PortSettings& settings) override;
    bool setBaudrate(int baudrate) override;
    ReadResult read(std::span<std::uint8_t> buffer, Milliseconds timeout,
                    const platform::StopSignal* stop = nullptr) override;
    std::size_t write(core::ByteView bytes, Milliseconds timeout) override;
    void flush() override;
    const std::string& name() const override { return name_; }

private:
    TermiosPort(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}

    std::string name_;
    int fd_;  ///< owned, non-blocking
};

}  // namespace kinetra::serial
