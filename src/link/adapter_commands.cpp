// Host-to-adapter frame builders and device message wrapping. Pure, run by the sending thread.
#include "link/adapter_commands.hpp"

#include <initializer_list>

namespace kinetra::link {
namespace {

constexpr auto byteOf(AdapterCommand command) {
    return static_cast<std::uint8_t>(command);
}
constexpr auto byteOf(RadioCommand command) {
    return static_cast<std::uint8_t>(command);
}

// Leaves the encoder spoiled (reset, then finished without payload), so that a caller that
// ignores the result still finds no frame in it.
bool refuse(FrameEncoder& encoder) {
    encoder.reset();
    (void)encoder.finish();
    return false;
}

// Every builder goes through here: the worst case is checked before anything is encoded, so a
// refusal never depends on which bytes happen to need escaping.
bool encodeParts(FrameEncoder& encoder, std::initializer_list<core::ByteView> parts) {
    std::size_t total = 0;
    for (const auto part : parts) {
        total += part.size();
    }
    if (worstCaseFrameSize(total) > FrameEncoder::kCapacity) {
        return refuse(encoder);
    }
    encoder.reset();
    for (const auto part : parts) {
        if (!encoder.append(part)) {
            return false;
        }
    }
    return encoder.finish();
}

void adapterOnly(FrameEncoder& encoder, AdapterCommand command) {
    const std::uint8_t payload[] = {byteOf(command)};
    (void)encodeParts(encoder, {payload});
}

void radioOnly(FrameEncoder& encoder, RadioCommand command) {
    const std::uint8_t payload[] = {byteOf(AdapterCommand::radioCommand), byteOf(command)};
    (void)encodeParts(encoder, {payload});
}

bool forward(FrameEncoder& encoder, AdapterCommand command, core::ByteView message) {
    const std::uint8_t head[] = {byteOf(command)};
    return encodeParts(encoder, {head, message});
}

}  // namespace

namespace frames {

void link2Connect(FrameEncoder& encoder) {
    adapterOnly(encoder, AdapterCommand::link2Connect);
}
void link2PairStatus(FrameEncoder& encoder) {
    adapterOnly(encoder, AdapterCommand::link2PairStatus);
}
void link2ScanResults(FrameEncoder& encoder) {
    adapterOnly(encoder, AdapterCommand::link2ScanResults);
}
void identify(FrameEncoder& encoder) {
    adapterOnly(encoder, AdapterCommand::identify);
}
void linkVersions(FrameEncoder& encoder) {
    adapterOnly(encoder, AdapterCommand::linkVersions);
}

void selectLink(FrameEncoder& encoder, SelectLink link) {
    const std::uint8_t payload[] = {byteOf(AdapterCommand::selectLink),
                                    static_cast<std::uint8_t>(link)};
    (void)encodeParts(encoder, {payload});
}

bool forwardRj45(FrameEncoder& encoder, core::ByteView message) {
    return forward(encoder, AdapterCommand::forwardRj45, message);
}
bool forwardCanbus(FrameEncoder& encoder, core::ByteView message) {
    return forward(encoder, AdapterCommand::forwardCanbus, message);
}
bool forwardCanbusUnacknowledged(FrameEncoder& encoder, core::ByteView message) {
    return forward(encoder, AdapterCommand::forwardCanbusUnacknowledged, message);
}

void pairStatus(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::pairStatus);
}
void updateBegin(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::updateBegin);
}
void updateEnd(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::updateEnd);
}
void radioReset(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::radioReset);
}
void scanStart(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::scanStart);
}
void scanStop(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::scanStop);
}
void scanResults(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::scanResults);
}
void radioDisconnect(FrameEncoder& encoder) {
    radioOnly(encoder, RadioCommand::radioDisconnect);
}

void updateChunk(FrameEncoder& encoder, std::span<const std::uint8_t, kRadioChunkSize> chunk) {
    // 1002 payload bytes encode to at most 2009: always fits.
    static_assert(worstCaseFrameSize(2 + kRadioChunkSize) <= FrameEncoder::kCapacity);
    const std::uint8_t head[] = {byteOf(AdapterCommand::radioCommand),
                                 byteOf(RadioCommand::updateChunk)};
    (void)encodeParts(encoder, {head, chunk});
}

void attachToBundle(FrameEncoder& encoder, const Mac& mac) {
    const std::uint8_t head[] = {byteOf(AdapterCommand::radioCommand),
                                 byteOf(RadioCommand::attachToBundle)};
    (void)encodeParts(encoder, {head, mac});
}

bool createBundle(FrameEncoder& encoder, const CreateBundleRequest& request) {
    if (request.deviceCount < 0 ||
        request.deviceCount > static_cast<std::int32_t>(kMaxBundleDevices)) {
        return refuse(encoder);
    }
    std::array<std::uint8_t, 4 + kMaxBundleDevices * kMacSize> payload{
        byteOf(AdapterCommand::radioCommand), byteOf(RadioCommand::createBundle),
        static_cast<std::uint8_t>(request.deviceCount),
        static_cast<std::uint8_t>(request.forcedMasterDevice & 0xFF)};
    std::size_t size = 4;
    for (std::int32_t i = 0; i < request.deviceCount; ++i) {
        for (const auto byte : request.macs[static_cast<std::size_t>(i)]) {
            payload[size++] = byte;
        }
    }
    return encodeParts(encoder, {core::ByteView{payload.data(), size}});
}

bool forwardWireless(FrameEncoder& encoder, core::ByteView message) {
    if (message.size() > kMaxWirelessMessage) {
        return refuse(encoder);
    }
    const std::uint8_t head[] = {byteOf(AdapterCommand::radioCommand),
                                 byteOf(RadioCommand::forwardWireless),
                                 static_cast<std::uint8_t>(message.size())};
    return encodeParts(encoder, {head, message});
}

}  // namespace frames

Wrapped wrapForConnection(FrameEncoder& encoder, core::ByteView message,
                          model::LinkConnectionType connection, Delivery delivery) {
    using model::LinkConnectionType;
    bool framed = false;
    switch (connection) {
        case LinkConnectionType::wireless:
            framed = frames::forwardWireless(encoder, message);
            break;
        case LinkConnectionType::canbus:
            framed = delivery == Delivery::unacknowledged
                         ? frames::forwardCanbusUnacknowledged(encoder, message)
                         : frames::forwardCanbus(encoder, message);
            break;
        case LinkConnectionType::rj45:
            framed = frames::forwardRj45(encoder, message);
            break;
        case LinkConnectionType::none:
            return {WrapStatus::unframed, message};
        default:
            return {WrapStatus::nothing, {}};
    }
    if (!framed) {
        return {WrapStatus::refused, {}};
    }
    return {WrapStatus::framed, encoder.encoded()};
}

Wrapped wrapForLink(FrameEncoder& encoder, core::ByteView message, model::LinkType linkType,
                    model::LinkConnectionType connection, Delivery delivery) {
    switch (linkType) {
        case model::LinkType::linkAdapter:
            return wrapForConnection(encoder, message, connection, delivery);
        case model::LinkType::stopMotionModule:
            return {WrapStatus::unframed, message};
    }
    return {WrapStatus::nothing, {}};
}

}  // namespace kinetra::link
