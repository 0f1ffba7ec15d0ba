// Default gear of the emulated link and the axes each model drives. Pure; read at construction.
#include "sim/link_config.hpp"

#include "model/axis_slot.hpp"

namespace kinetra::sim {

using model::AxisSlot;
using model::bitOf;
using model::DeviceModel;

std::vector<DeviceConfig> defaultDevices() {
    DeviceConfig head;  // the defaults of DeviceConfig describe a turret alpha 2
    DeviceConfig slider;
    slider.model = DeviceModel::glideTrack;
    slider.firmwareVersion = 65;
    slider.mac = {0x24, 0x6F, 0x28, 0x1A, 0x00, 0x02};
    slider.setup = model::SetupKind::slideOnly;
    slider.rssi = -61;
    slider.batteryPercent = 62;
    return {head, slider};
}

LinkConfig defaultModuleConfig() {
    LinkConfig config;
    config.linkType = model::LinkType::stopMotionModule;
    config.linkID = "KSIM0002";
    config.devices = {DeviceConfig{}};
    config.keyposeSlots = 3;
    return config;
}

std::uint8_t defaultAxesOf(DeviceModel model) {
    const auto panTilt =
        static_cast<std::uint8_t>(bitOf(AxisSlot::headPan) | bitOf(AxisSlot::headTilt));
    switch (model) {
        case DeviceModel::turretAlpha:
        case DeviceModel::turretBeta:
        case DeviceModel::turretGamma:
        case DeviceModel::turretAlpha2:
        case DeviceModel::turretBeta2:
            return panTilt;
        case DeviceModel::swivelMax:
            return bitOf(AxisSlot::headPan);
        case DeviceModel::railUnit:
        case DeviceModel::glideTrackMax:
        case DeviceModel::glideTrack:
        case DeviceModel::railUnitGen3:
        case DeviceModel::rollerBaseX:
        case DeviceModel::rollerBase:
        case DeviceModel::rollerBaseMax:
            return bitOf(AxisSlot::slide);
        case DeviceModel::craneArm:
            return static_cast<std::uint8_t>(bitOf(AxisSlot::jibPan) | bitOf(AxisSlot::jibTilt));
        case DeviceModel::lensDriveMax:
            return bitOf(AxisSlot::focus);
        default:
            return 0;  // a floor base, a songbird and the others drive no axis of their own
    }
}

std::uint8_t axesOf(const DeviceConfig& device) {
    return device.axes.value_or(defaultAxesOf(device.model)) & model::kAxisSetMask;
}

}  // namespace kinetra::sim
