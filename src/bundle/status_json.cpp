// Status JSON: readings of the supported axes, key-pose progress, the device list and the axis
// descriptor lists. Runs on the link's reader thread as each status message arrives.
#include "bundle/status_json.hpp"

#include "model/axis_slot.hpp"
#include "model/status_enums.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using model::DeviceModel;

json readings(const DeviceStatusSnapshot& s) {
    json out;  // null when no reported axis is supported
    const auto put = [&](AxisSlot slot, json value) {
        if (model::hasSlot(s.supportedAxes, slot)) {
            out[std::string(*model::readingsKeyOf(slot))] = std::move(value);
        }
    };
    put(AxisSlot::headPan, core::floatNumber(s.headPan));
    put(AxisSlot::headTilt, core::floatNumber(s.headTilt));
    put(AxisSlot::slide, core::floatNumber(s.slide));
    put(AxisSlot::focus, s.focus);
    put(AxisSlot::jibPan, core::floatNumber(s.jibPan));
    put(AxisSlot::jibTilt, core::floatNumber(s.jibTilt));
    return out;
}

json keyposeSlotsFilled(const DeviceStatusSnapshot& s) {
    const auto slots = s.keyposeSlotCount();
    if (!slots) {
        return json::array({"?"});
    }
    json out = json::array();
    for (std::size_t i = 0; i < *slots; ++i) {
        out.push_back(s.keyposeSlotsFilled[i]);
    }
    return out;
}

// Two turrets stacked into one head: the first drives pan, the last later one stands tilted
// and drives tilt.
json deviceInfo(std::span<const DeviceEntry> devices) {
    json out = json::array();
    for (const DeviceEntry& device : devices) {
        out.push_back({{"batteryLevel", core::floatNumber(device.batteryLevel)},
                       {"type", model::nameOf(device.model)}});
    }
    if (!devices.empty() && devices[0].model == DeviceModel::turretGamma) {
        for (std::size_t i = devices.size() - 1; i > 0; --i) {
            if (devices[i].model == DeviceModel::turretGamma) {
                out[0]["isTilted"] = false;
                out[i]["isTilted"] = true;
                break;
            }
        }
    }
    return out;
}

}  // namespace

json statusToJson(const DeviceStatusSnapshot& s, std::int64_t timestampEpoch) {
    const auto devices = s.validDevices();
    std::array<DeviceModel, status_layout::kMaxDevices> models{};
    bool hasRailUnit = false;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        models[i] = devices[i].model;
        hasRailUnit |= model::isRailUnit(devices[i].model);
    }
    const auto modelList = std::span<const DeviceModel>(models).first(devices.size());

    json out = json::object();
    out["readings"] = readings(s);
    out["plannedMotionDuration"] = core::floatNumber(s.plannedMotionDuration);
    out["plannedMotionProgress"] = core::floatNumber(s.plannedMotionProgress);
    out["keyposeMotionAimIndex"] = static_cast<int>(s.keyposeMotionAimIndex);
    out["keyposeMotionStartIndex"] = static_cast<int>(s.keyposeMotionStartIndex);
    out["keyposeLoopActive"] = s.keyposeLoopActive;
    out["keyposeSlotsFilled"] = keyposeSlotsFilled(s);
    out["state"] = model::kBundleActivityTable.nameOf(model::BundleActivity{s.activity});
    out["deviceInfo"] = deviceInfo(devices);
    out["deviceInfoEverythingReady"] = s.deviceInfoEverythingReady;
    // Park and incline come from a rail unit's sensors; without one they mean nothing.
    if (hasRailUnit) {
        out["parkMode"] = model::kParkModeTable.nameOf(model::ParkMode{s.parkMode});
        out["inclineMode"] = model::kInclineModeTable.nameOf(model::InclineMode{s.inclineMode});
        out["inclineModeWarningFlag"] = static_cast<unsigned>(s.inclineWarningFlag);
    }
    out["supportedAxes"] = model::axisDescriptorList(s.supportedAxes, modelList);
    out["realTimeSupportedAxes"] = model::axisDescriptorList(s.realTimeSupportedAxes, modelList);
    out["calibratedAxes"] = model::axisDescriptorList(s.calibratedAxes, modelList);
    out["timestampDevice"] = s.timestampDevice;
    out["timestampEpoch"] = timestampEpoch;
    return out;
}

json statusEndpointReply(const json& latestStatus) {
    return json{{"data", latestStatus}, {"result", "ok"}};
}

}  // namespace kinetra::bundle
