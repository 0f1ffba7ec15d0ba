#include "settings/defaults.hpp"

namespace kinetra::config {
namespace {

// The ports are strings: readers turn them into numbers only when they listen. The studio
// outputs (FreeD out, OSC and VISCA in) are off until given targets or ports; MQTT is off until
// given a broker url (an empty client id and topic prefix take the host name). The security keys
// are in lower case, as config.ini's keys arrive; lists are comma-separated text.
constexpr const char* kServerSection = R"({
    "httpserver": {"address": "0.0.0.0", "port": "32222", "keepaliveseconds": "5"},
    "security": {
        "allowedhosts": "",
        "allowedorigins": "",
        "apikey": "",
        "maxconnections": "512",
        "trustednetworks": "127.0.0.0/8, ::1/128"
    },
    "webserver": {"address": "0.0.0.0", "port": "32223"},
    "websocket": {"address": "0.0.0.0", "port": "32224"},
    "freed": {"targets": "", "rate": "50"},
    "osc": {"address": "0.0.0.0", "port": "0", "feedback": ""},
    "visca": {"address": "0.0.0.0", "ports": "", "pantiltunitdegrees": "0.01", "drivetimeout": "1"},
    "mqtt": {
        "url": "",
        "clientid": "",
        "username": "",
        "passwordfile": "",
        "cafile": "",
        "topicprefix": "",
        "statusrate": "10",
        "commands": "false",
        "homeassistant": "false"
    }
})";

// USB ids: link adapter 0483:A39F, stop-motion module 0483:A327.
constexpr const char* kSerialSection = R"({
    "moduleSerialPortInfo": {
        "link_adapter": {"baudrate": 115200, "stopBits": 1, "bitCount": 8, "flowControl": false},
        "stop_motion": {"baudrate": 115200, "stopBits": 1, "bitCount": 8, "flowControl": false}
    },
    "usb_info": {
        "autoScan": true,
        "scanInterval": 250,
        "link_adapter_vid": 1155,
        "link_adapter_pid": 41887,
        "smm_vid": 1155,
        "smm_pid": 41767,
        "manufacturerName": "Kinetra"
    }
})";

}  // namespace

const json& fullDefault() {
    static const json value = {{"server", json::parse(kServerSection)},
                               {"serialConnection", json::parse(kSerialSection)}};
    return value;
}

const json& serialDefault() {
    static const json value = {{"serialConnection", json::parse(kSerialSection)}};
    return value;
}

}  // namespace kinetra::config
