// One serial port to a link module: libserialport for real USB ports, termios for the
// pseudo-terminals that bridges and the emulator appear as (libserialport refuses those).
// A port is used by its link's reader thread for reads and by one sender at a time for writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "platform/stop_signal.hpp"

namespace kinetra::serial {

using Milliseconds = std::chrono::milliseconds;

/// Line settings as the link record carries them; parity is always none.
struct PortSettings {
    int baudrate = 115200;
    int bitCount = 8;
    int stopBits = 1;
};

/// The rate a port is left at when its link closes.
inline constexpr int kTeardownBaudrate = 19200;

/// What one read saw.
enum class ReadStatus : std::uint8_t {
    data,     ///< at least one byte came
    timeout,  ///< nothing within the timeout
    stopped,  ///< the stop signal was set
    closed,   ///< the line ended (device unplugged, far side of a pseudo-terminal closed) or failed
};

struct ReadResult {
    ReadStatus status = ReadStatus::timeout;
    std::size_t count = 0;  ///< bytes stored, when status is data
};

class SerialPort {
public:
    virtual ~SerialPort() = default;
    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    /// Baud rate, data bits, parity none, stop bits, DTR on (a terminal that refuses DTR, as a
    /// pseudo-terminal does, is still configured). Flow control is left alone. False when the
    /// port refuses a setting.
    virtual bool configure(const PortSettings& settings) = 0;
    /// Changes the baud rate only.
    virtual bool setBaudrate(int baudrate) = 0;
    /// Waits until at least one byte can be read, `timeout` passes or `stop` is set, then reads
    /// what is there (at most buffer.size() bytes) without waiting further. A negative
    /// `timeout` waits without bound (the reader thread's wait, ended by `stop`).
    virtual ReadResult read(std::span<std::uint8_t> buffer, Milliseconds timeout,
                            const platform::StopSignal* stop = nullptr) = 0;
    /// Writes all of `bytes`, blocking at most `timeout`; returns the count written (short on
    /// timeout or error).
    virtual std::size_t write(core::ByteView bytes, Milliseconds timeout) = 0;
    /// Discards both the input and the output buffer.
    virtual void flush() = 0;
    /// The name it was opened by.
    virtual const std::string& name() const = 0;
};

/// Opens `name` (a device path such as /dev/ttyACM0 or /dev/pts/3) for reading and writing:
/// through libserialport when it knows the port, else through termios when the path is a
/// terminal device. Nothing when the port cannot be found or opened.
std::unique_ptr<SerialPort> openSerialPort(const std::string& name);

/// One serial port of the machine as the link scanner sees it.
struct PortListing {
    std::string name;  ///< the device path
    std::optional<int> usbVendorId;
    std::optional<int> usbProductId;
    std::string usbSerialNumber;  ///< empty when not a USB port or not reported
    std::string description;      ///< the bus-reported product text, or libserialport's
};

/// The ports libserialport lists, in its order. Empty when the listing fails.
std::vector<PortListing> listSerialPorts();

}  // namespace kinetra::serial
