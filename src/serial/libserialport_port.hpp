// A serial port that libserialport knows (a USB link module's /dev/ttyACM*, /dev/ttyUSB*). Read by
// the link's reader thread, written and flushed by its senders, configured by its owner.
#pragma once

#include <memory>
#include <string>

#include "serial/serial_port.hpp"

struct sp_port;

namespace kinetra::serial {

class LibserialportPort final : public SerialPort {
public:
    /// Looks `name` up and opens it for reading and writing; nullptr when libserialport does not
    /// know the port (a pseudo-terminal, a missing path) or cannot open it.
    static std::unique_ptr<LibserialportPort> open(const std::string& name);
    /// Closes and frees the port.
    ~LibserialportPort() override;

    bool configure(const PortSettings& settings) override;
    bool setBaudrate(int baudrate) override;
    ReadResult read(std::span<std::uint8_t> buffer, Milliseconds timeout,
                    const platform::StopSignal* stop = nullptr) override;
    std::size_t write(core::ByteView bytes, Milliseconds timeout) override;
    void flush() override;
    const std::string& name() const override { return name_; }

private:
    LibserialportPort(std::string name, sp_port* port, int fd);

    std::string name_;
    sp_port* port_;  ///< owned
    int fd_;         ///< the port's descriptor, owned by port_
};

}  // namespace kinetra::serial
