#include "studio/osc_decode.hpp"

#include <cstring>

#include <fmt/format.h>
#include <lo/lo.h>

namespace kinetra::studio {

std::variant<OscMessage, std::string> decodeOsc(std::span<std::uint8_t> datagram) {
    constexpr std::string_view kBundle{"#bundle", 8};  // with its terminating zero
    if (datagram.size() >= kBundle.size() &&
        std::memcmp(datagram.data(), kBundle.data(), kBundle.size()) == 0) {
        return std::string("OSC bundles are not accepted; send plain messages");
    }
    int result = 0;
    lo_message message = lo_message_deserialise(datagram.data(), datagram.size(), &result);
    if (message == nullptr) {
        return fmt::format("not an OSC message ({0} bytes, liblo error {1})", datagram.size(),
                           result);
    }
    OscMessage decoded;
    const char* path = lo_get_path(datagram.data(), static_cast<ssize_t>(datagram.size()));
    decoded.address = path != nullptr ? path : "";
    const char* types = lo_message_get_types(message);
    lo_arg** argv = lo_message_get_argv(message);
    const int count = lo_message_get_argc(message);
    for (int i = 0; i < count; ++i) {
        OscArgument argument{types[i], 0};
        // liblo's arguments point into the message's data, 4-byte aligned as OSC packs them,
        // while lo_arg (a union holding 64-bit members) wants 8: copy the bytes out instead of
        // reading through the union.
        const auto read = [&](auto value) {
            std::memcpy(&value, argv[i], sizeof value);
            return value;
        };
        switch (types[i]) {
            case LO_INT32:
                argument.number = read(std::int32_t{});
                break;
            case LO_FLOAT:
                argument.number = read(float{});
                break;
            case LO_INT64:
                argument.number = static_cast<double>(read(std::int64_t{}));
                break;
            case LO_DOUBLE:
                argument.number = read(double{});
                break;
            default:
                break;  // not a number: the mapping names its tag
        }
        decoded.arguments.push_back(argument);
    }
    lo_message_free(message);
    return decoded;
}

}  // namespace kinetra::studio
