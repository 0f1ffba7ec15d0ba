// Opening a port by name (libserialport, else termios for terminal devices it refuses) and
// listing the machine's ports for the link scanner's thread.
#include <libserialport.h>

#include "serial/libserialport_port.hpp"
#include "serial/serial_port.hpp"
#include "serial/termios_port.hpp"

namespace kinetra::serial {
namespace {

std::string textOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

PortListing describe(const sp_port* port) {
    PortListing listing;
    listing.name = textOrEmpty(sp_get_port_name(port));
    if (sp_get_port_transport(port) == SP_TRANSPORT_USB) {
        int vendor = 0;
        int product = 0;
        if (sp_get_port_usb_vid_pid(port, &vendor, &product) == SP_OK) {
            listing.usbVendorId = vendor;
            listing.usbProductId = product;
        }
        listing.usbSerialNumber = textOrEmpty(sp_get_port_usb_serial(port));
        // The product string the device itself reports, as the scanner's exclusion expects.
        listing.description = textOrEmpty(sp_get_port_usb_product(port));
    }
    if (listing.description.empty()) {
        listing.description = textOrEmpty(sp_get_port_description(port));
    }
    return listing;
}

}  // namespace

std::unique_ptr<SerialPort> openSerialPort(const std::string& name) {
    if (auto port = LibserialportPort::open(name)) {
        return port;
    }
    return TermiosPort::open(name);
}

std::vector<PortListing> listSerialPorts() {
    return tryListSerialPorts().value_or(std::vector<PortListing>{});
}

std::optional<std::vector<PortListing>> tryListSerialPorts() {
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK || ports == nullptr) {
        return std::nullopt;
    }
    const std::unique_ptr<sp_port*, decltype(&sp_free_port_list)> owned(ports, &sp_free_port_list);
    std::vector<PortListing> listings;
    for (sp_port** port = ports; *port != nullptr; ++port) {
        listings.push_back(describe(*port));
    }
    return listings;
}

}  // namespace kinetra::serial
