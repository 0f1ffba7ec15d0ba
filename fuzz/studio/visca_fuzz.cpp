// Fuzzes the VISCA-over-IP reader and one camera with arbitrary datagrams: the input is cut into
// datagrams at each 0xA5 byte and given to a camera in turn, from two controllers, with time
// passing. Every datagram must be answered by at most a few well-formed replies, none of them
// longer than a VISCA reply can be. Single-threaded.
#include <cstddef>
#include <cstdint>

#include "studio/visca_camera.hpp"

namespace {

using namespace kinetra::studio;
using namespace kinetra::studio::visca;

void checkReply(const Bytes& datagram) {
    const auto read = datagram.size() >= kHeaderSize ? (datagram[2] << 8) | datagram[3] : -1;
    const auto type = datagram.size() >= 2 ? (datagram[0] << 8) | datagram[1] : 0;
    if (read != static_cast<int>(datagram.size() - kHeaderSize) ||
        datagram.size() > kHeaderSize + 16 || (type != kReply && type != kControlReply)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kinetra::core::ByteView input(data, size);
    ViscaCounters counters;
    ViscaSettings settings;
    LinkView view;
    view.axes = {0x0F, 0x07};
    view.readings = {1.0, -2.0, 0.5, 300.0, std::nullopt, std::nullopt, std::nullopt};
    view.state = "idle";
    view.keyposeSlots = {true, false, true, false, false, false};
    int replies = 0;
    ViscaCamera camera(
        "F", settings,
        ViscaCamera::Hooks{[](const BundleCommand&, bool) { return ViscaCamera::Sent::ok; },
                           [&](const ViscaCamera::Endpoint&, const Bytes& d) {
                               checkReply(d);
                               ++replies;
                           },
                           [&] { return std::optional(view); },
                           [](std::string_view, const std::string&, bool) {}},
        counters);
    const ViscaCamera::Endpoint from[] = {{asio::ip::make_address("127.0.0.1"), 5000},
                                          {asio::ip::make_address("127.0.0.1"), 5001}};
    auto now = SteadyTime{} + std::chrono::hours(1);
    std::size_t start = 0;
    int taken = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i < input.size() && input[i] != 0xA5) {
            continue;
        }
        const auto datagram = input.subspan(start, i - start);
        (void)readMessage(datagram);  // also as a bare message
        camera.take(datagram, from[taken % 2], now);
        ++taken;
        now += std::chrono::milliseconds(datagram.empty() ? 0 : datagram[0] * 10);
        view.statusAt = now;
        view.state = taken % 3 == 0 ? "realTimeMove" : "idle";
        camera.statusArrived(now);
        camera.tick(now);
        start = i + 1;
    }
    camera.tick(now + std::chrono::seconds(100));
    // ACK, Completion and a cancellation at most per datagram, plus what the last tick ends.
    if (replies > 3 * taken + 2) {
        __builtin_trap();
    }
    return 0;
}
