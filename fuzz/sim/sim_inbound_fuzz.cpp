// Whatever a host may write to an emulated link: split into frames and unframed device messages,
// answered by the link module and its devices while time passes. Checks that everything sent
// back is a payload a frame can carry and that every status message has its 79 bytes.
// Single-threaded libFuzzer target.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/frame_codec.hpp"
#include "sim/device_commands.hpp"
#include "sim/emulator_core.hpp"
#include "sim/inbound_splitter.hpp"

namespace {

using namespace kinetra;
using namespace std::chrono_literals;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The status message inside a payload the link sends, by the medium it came over.
void checkStatus(const sim::Outgoing& item, model::LinkType linkType) {
    if (item.kind != sim::OutgoingKind::status) {
        return;
    }
    std::size_t offset = 0;
    if (linkType == model::LinkType::linkAdapter) {
        switch (item.payload.at(0)) {
            case 1:
                offset = 2;
                break;
            case 2:
                offset = 4;
                break;
            case 3:
                offset = 1;
                break;
            default:
                check(false);
        }
    }
    check(item.payload.size() == offset + 79 && item.payload[offset] == 0x18);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the module, its gear and how the reads are cut.
    sim::LinkConfig config;
    if ((data[0] & 0x01) != 0) {
        config = sim::defaultModuleConfig();
    }
    if ((data[0] & 0x02) != 0) {
        config.devices.push_back({});
        config.devices.back().model = model::DeviceModel{data[0] >> 3};
        config.devices.back().mac[5] = 9;
    }
    config.timings.pairingTime = 20ms;
    config.timings.calibrationTime = 30ms;
    const std::size_t cut = 1 + (data[0] >> 4);
    const auto start = sim::Clock::time_point{} + 1h;
    sim::EmulatorCore core(config, start);
    sim::InboundSplitter splitter(config.timings.unframedGap);
    std::vector<sim::Received> log;
    std::vector<sim::InboundUnit> units;
    link::FrameEncoder encoder;
    auto now = start;

    const core::ByteView input(data + 1, size - 1);
    for (std::size_t at = 0; at < input.size(); at += cut) {
        const auto chunk = input.subspan(at, std::min(cut, input.size() - at));
        const auto primary = core.primary();
        splitter.feed(
            chunk, core.acceptsUnframed(),
            [primary](core::ByteView bytes) { return sim::wholeDeviceMessageAt(bytes, primary); },
            now, units);
        for (const auto& unit : units) {
            if (unit.kind == sim::InboundUnit::Kind::frame) {
                core.receiveFrame(unit.bytes, now, log);
            } else {
                core.receiveUnframed(unit.bytes, now, log);
            }
        }
        units.clear();
        now += std::chrono::milliseconds(chunk[0] % 64);
        core.advance(now);
        for (const auto& item : core.takeDue(now)) {
            check(link::encodeFrame(encoder, item.payload));
            checkStatus(item, config.linkType);
        }
        const auto next = core.nextDeadline(now);
        check(!next || *next > now);
    }
    return 0;
}
