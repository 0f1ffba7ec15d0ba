// The adapter's view of host commands and its upward payloads; run by the emulator's thread.
#include "link/adapter_side.hpp"

#include <algorithm>

namespace kinetra::link {
namespace {

std::optional<HostCommand> withArgument(AdapterCommand command, std::optional<RadioCommand> radio,
                                        core::ByteView argument, std::size_t size) {
    if (argument.size() != size) {
        return std::nullopt;
    }
    return HostCommand{command, radio, argument};
}

std::optional<HostCommand> readRadioCommand(core::ByteView payload) {
    if (payload.size() < 2) {
        return std::nullopt;
    }
    const auto radio = static_cast<RadioCommand>(payload[1]);
    const auto argument = payload.subspan(2);
    const auto exactly = [&](std::size_t size) {
        return withArgument(AdapterCommand::radioCommand, radio, argument, size);
    };
    switch (radio) {
        case RadioCommand::pairStatus:
        case RadioCommand::updateBegin:
        case RadioCommand::updateEnd:
        case RadioCommand::radioReset:
        case RadioCommand::scanStart:
        case RadioCommand::scanStop:
        case RadioCommand::scanResults:
        case RadioCommand::radioDisconnect:
            return exactly(0);
        case RadioCommand::updateChunk:
            return exactly(kRadioChunkSize);
        case RadioCommand::attachToBundle:
            return exactly(kMacSize);
        case RadioCommand::createBundle: {
            // [count, master, count MACs]
            if (argument.size() < 2 || argument[0] > kMaxBundleDevices) {
                return std::nullopt;
            }
            return exactly(2 + argument[0] * kMacSize);
        }
        case RadioCommand::forwardWireless:
            if (argument.empty() || argument[0] != argument.size() - 1) {
                return std::nullopt;
            }
            return HostCommand{AdapterCommand::radioCommand, radio, argument.subspan(1)};
    }
    return std::nullopt;
}

}  // namespace

std::optional<HostCommand> readHostCommand(core::ByteView payload) {
    if (payload.empty()) {
        return std::nullopt;
    }
    const auto command = static_cast<AdapterCommand>(payload[0]);
    const auto argument = payload.subspan(1);
    switch (command) {
        case AdapterCommand::radioCommand:
            return readRadioCommand(payload);
        case AdapterCommand::forwardRj45:
        case AdapterCommand::forwardCanbus:
        case AdapterCommand::forwardCanbusUnacknowledged:
            return HostCommand{command, std::nullopt, argument};
        case AdapterCommand::link2Connect:
        case AdapterCommand::link2PairStatus:
        case AdapterCommand::link2ScanResults:
        case AdapterCommand::identify:
        case AdapterCommand::linkVersions:
            return withArgument(command, std::nullopt, argument, 0);
        case AdapterCommand::selectLink:
            if (argument.size() != 1 ||
                argument[0] > static_cast<std::uint8_t>(SelectLink::wireless)) {
                return std::nullopt;
            }
            return HostCommand{command, std::nullopt, argument};
    }
    return std::nullopt;
}

bool appendFromDevice(core::Bytes& out, model::LinkConnectionType medium, core::ByteView message,
                      std::uint8_t deviceAddress) {
    switch (medium) {
        case model::LinkConnectionType::wireless:
            out.push_back(static_cast<std::uint8_t>(MessageSource::radio));
            out.push_back(kRadioDeviceMessage);
            break;
        case model::LinkConnectionType::canbus:
            out.push_back(static_cast<std::uint8_t>(MessageSource::canbus));
            out.push_back(deviceAddress);
            out.push_back(kCanAdapterAddress);
            out.push_back(kCanReplyKind);
            break;
        case model::LinkConnectionType::rj45:
            out.push_back(static_cast<std::uint8_t>(MessageSource::rj45));
            break;
        default:
            return false;
    }
    out.insert(out.end(), message.begin(), message.end());
    return true;
}

void appendWirelessScanEntry(core::Bytes& out, const WirelessScanEntry& entry) {
    std::array<std::uint8_t, kWirelessEntrySize> raw{};
    raw[kEntryModel] = entry.model;
    raw[kEntryRssi] = static_cast<std::uint8_t>(entry.rssi);
    std::copy(entry.mac.begin(), entry.mac.end(), raw.begin() + kEntryMac);
    raw[kEntrySetup] = entry.setup;
    raw[kEntryControllerVersion] = entry.controllerByte;
    raw[kEntryRadioVersion] = entry.radioVersion;
    raw[kEntryGroupId] = static_cast<std::uint8_t>(entry.groupId >> 8);
    raw[kEntryGroupId + 1] = static_cast<std::uint8_t>(entry.groupId & 0xFF);
    out.insert(out.end(), raw.begin(), raw.end());
}

void appendCanScanEntry(core::Bytes& out, const CanScanEntry& entry) {
    out.push_back(entry.model);
    out.push_back(entry.versionMajor);
    out.push_back(entry.versionMinor);
}

}  // namespace kinetra::link
