// libserialport for the ports it lists. Reads wait in poll on the port's descriptor
// (libserialport's own blocking read cannot be woken by the stop signal); writes use its timed
// blocking write.
#include "serial/libserialport_port.hpp"

#include <libserialport.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <climits>

#include "serial/input_wait.hpp"

namespace kinetra::serial {

std::unique_ptr<LibserialportPort> LibserialportPort::open(const std::string& name) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(name.c_str(), &port) != SP_OK) {
        spdlog::debug("libserialport does not know {0}", name);
        return nullptr;
    }
    int fd = -1;
    if (sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
        spdlog::debug("libserialport could not open {0}", name);
        sp_free_port(port);
        return nullptr;
    }
    if (sp_get_port_handle(port, &fd) != SP_OK || fd < 0) {
        sp_close(port);
        sp_free_port(port);
        return nullptr;
    }
    return std::unique_ptr<LibserialportPort>(new LibserialportPort(name, port, fd));
}

LibserialportPort::LibserialportPort(std::string name, sp_port* port, int fd)
    : name_(std::move(name)), port_(port), fd_(fd) {}

LibserialportPort::~LibserialportPort() {
    sp_close(port_);
    sp_free_port(port_);
}

bool LibserialportPort::configure(const PortSettings& settings) {
    if (sp_set_baudrate(port_, settings.baudrate) != SP_OK ||
        sp_set_bits(port_, settings.bitCount) != SP_OK ||
        sp_set_parity(port_, SP_PARITY_NONE) != SP_OK ||
        sp_set_stopbits(port_, settings.stopBits) != SP_OK) {
        return false;
    }
    // Link modules want DTR; a line without modem control still carries the frames.
    if (sp_set_dtr(port_, SP_DTR_ON) != SP_OK) {
        spdlog::debug("{0} refuses DTR", name_);
    }
    return true;
}

bool LibserialportPort::setBaudrate(int baudrate) {
    return sp_set_baudrate(port_, baudrate) == SP_OK;
}

ReadResult LibserialportPort::read(std::span<std::uint8_t> buffer, Milliseconds timeout,
                                   const platform::StopSignal* stop) {
    return readWhenReady(fd_, buffer, timeout, stop, [this](std::span<std::uint8_t> into) {
        return static_cast<long>(sp_nonblocking_read(port_, into.data(), into.size()));
    });
}

std::size_t LibserialportPort::write(core::ByteView bytes, Milliseconds timeout) {
    if (bytes.empty()) {
        return 0;
    }
    // libserialport reads a zero timeout as "wait for ever"; ours means "do not wait".
    const auto result =
        timeout.count() <= 0
            ? sp_nonblocking_write(port_, bytes.data(), bytes.size())
            : sp_blocking_write(
                  port_, bytes.data(), bytes.size(),
                  static_cast<unsigned>(std::min<Milliseconds::rep>(timeout.count(), UINT_MAX)));
    return result > 0 ? static_cast<std::size_t>(result) : 0;
}

void LibserialportPort::flush() {
    // On POSIX this is one tcflush on the descriptor, safe beside the reader's read.
    sp_flush(port_, SP_BUF_BOTH);
}

}  // namespace kinetra::serial
